// What the performance library offers beyond PDH's own functions: the process-wide settings
// (data source, UI language, clock) and the name tables that stand in for the Perflib registry
// keys and the performance data block.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/types.h"

namespace perf {

// The data source of queries and catalogue calls that name none: empty for the live machine,
// else a directory holding captured `proc/` and `sys/` trees. Takes effect for queries opened
// and catalogue calls made afterwards.
void SetDefaultDataSource(std::string directory);
std::string DefaultDataSource();

// The user-interface language of the name tables. "" (the default) takes it from the
// environment: the first set of LC_ALL, LC_MESSAGES, LANG; "de*" selects German, anything else
// English. Tests pass "de" or "en".
void SetUiLanguage(std::string language);
// The language in force: LANGID 0x0407 (German) or 0x0409 (English, United States).
LANGID UiLanguage();

// The collection clock in 100 ns units (monotonic). Tests install a clock of their own so that
// rates over two snapshots are exact; nullptr restores the real one.
using ClockFunction = std::int64_t (*)();
void SetClock(ClockFunction clock);
std::int64_t Now100ns();

// The "Last Counter" value: the highest title index in use.
DWORD LastCounter();

// The English "Counters" value of Perflib\009: pairs of decimal index and name, each string
// NUL-terminated, the whole list ending with an extra NUL.
std::string EnglishCounters();

// The object and counter definitions with their title indexes, in catalogue order: the stand-in
// for walking the performance data block's PERF_OBJECT_TYPE and PERF_COUNTER_DEFINITION records.
struct CounterDefinition {
  DWORD nameIndex;
  DWORD counterType;
  DWORD detailLevel;
  LONG defaultScale;
};
struct ObjectDefinition {
  DWORD nameIndex;
  DWORD detailLevel;
  bool hasInstances;
  std::vector<CounterDefinition> counters;
};
std::vector<ObjectDefinition> ObjectDefinitions();

// Name of a title index in the current UI language ("" when unknown).
std::string LocalName(DWORD index);

}  // namespace perf
