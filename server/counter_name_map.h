// CounterNameMap: the English names of the performance catalogue, so that a path written in
// English can be rewritten with the local names of a machine whose user interface speaks
// another language.
//
// The map is built once per process from the English name table and the object definitions,
// and never changes afterwards; it is read without locks.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/types.h"
#include "platform/perf/perf.h"

class CounterNameMap {
 public:
  // The process's map, built on first use (thread-safe). When the name tables cannot be read
  // it stays empty and every lookup gives 0.
  static const CounterNameMap& Instance();

  // Builds a map from the raw tables: `lastCounter` is the highest title index in use,
  // `englishCounters` the multi-string of decimal index / name pairs, `objects` the object and
  // counter definitions in catalogue order. A later definition with the same English name
  // overwrites an earlier one.
  static CounterNameMap Build(DWORD lastCounter, std::string_view englishCounters,
                              const std::vector<perf::ObjectDefinition>& objects);

  // Title index of an English object or counter name (exact match), 0 when unknown.
  DWORD ObjectIndex(std::string_view englishName) const;
  DWORD CounterIndex(std::string_view englishName) const;

  // English name of a title index, empty when the index has none.
  std::string_view EnglishName(DWORD index) const;

  bool empty() const { return objects_.empty() && counters_.empty(); }

 private:
  std::vector<std::string> names_;  // by title index; LastCounter + 1 slots
  std::map<std::string, DWORD, std::less<>> objects_;
  std::map<std::string, DWORD, std::less<>> counters_;
};
