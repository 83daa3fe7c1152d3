// Helpers for the library's tests: a scratch data source that tests fill from the captured
// snapshots under testdata/, a fake collection clock, and a small query wrapper.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/perf/pdh.h"

namespace perf::testing {

std::string TestData(const std::string& rel);

// The fake clock (100 ns units) that tests advance by hand.
void UseFakeClock(std::int64_t start);
void AdvanceClock(std::int64_t delta);
void UseRealClock();

// A temporary directory used as a data source; Load copies a snapshot into it, replacing
// the files it had.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  void Load(const std::string& snapshot);
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// A query over a data source with RAII close.
class TestQuery {
 public:
  explicit TestQuery(const std::string& source);
  ~TestQuery();
  TestQuery(const TestQuery&) = delete;
  TestQuery& operator=(const TestQuery&) = delete;
  // Adds a counter; fails the test when PDH refuses it.
  PDH_HCOUNTER Add(const std::string& path);
  PDH_STATUS Collect();
  // The PDH_FMT_DOUBLE value; fails the test when it is not valid.
  double Value(PDH_HCOUNTER counter, DWORD format = PDH_FMT_DOUBLE | PDH_FMT_NOCAP100);
  PDH_HQUERY handle() const { return query_; }

 private:
  PDH_HQUERY query_ = nullptr;
};

// Collects `paths` on snapshot `first`, advances the clock by `interval` (100 ns), collects on
// snapshot `second` and returns every counter's double value (NaN when it has none).
std::vector<double> ValuesOverInterval(const std::vector<std::string>& paths,
                                       const std::string& first, const std::string& second,
                                       std::int64_t interval);

}  // namespace perf::testing
