#include "platform/perf/test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <limits>

#include "platform/perf/perf.h"

namespace perf::testing {
namespace {

std::atomic<std::int64_t> fakeNow{0};

std::int64_t FakeClock() {
  return fakeNow.load();
}

}  // namespace

std::string TestData(const std::string& rel) {
  return std::string(ZYN_PERF_TESTDATA) + "/" + rel;
}

void UseFakeClock(std::int64_t start) {
  fakeNow = start;
  SetClock(&FakeClock);
}

void AdvanceClock(std::int64_t delta) {
  fakeNow += delta;
}

void UseRealClock() {
  SetClock(nullptr);
}

Scratch::Scratch() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zynperf-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = buffer.data();
}

Scratch::~Scratch() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void Scratch::Load(const std::string& snapshot) {
  std::filesystem::copy(
      TestData(snapshot), dir_,
      std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
}

TestQuery::TestQuery(const std::string& source) {
  EXPECT_EQ(PdhOpenQuery(source.c_str(), 0, &query_), ERROR_SUCCESS);
}

TestQuery::~TestQuery() {
  if (query_) PdhCloseQuery(query_);
}

PDH_HCOUNTER TestQuery::Add(const std::string& path) {
  PDH_HCOUNTER counter = nullptr;
  EXPECT_EQ(PdhAddCounter(query_, path.c_str(), 0, &counter), ERROR_SUCCESS) << path;
  return counter;
}

PDH_STATUS TestQuery::Collect() {
  return PdhCollectQueryData(query_);
}

double TestQuery::Value(PDH_HCOUNTER counter, DWORD format) {
  PDH_FMT_COUNTERVALUE value{};
  PDH_STATUS status = PdhGetFormattedCounterValue(counter, format, nullptr, &value);
  EXPECT_EQ(status, ERROR_SUCCESS);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_VALID_DATA);
  return status == ERROR_SUCCESS ? value.doubleValue : std::nan("");
}

std::vector<double> ValuesOverInterval(const std::vector<std::string>& paths,
                                       const std::string& first, const std::string& second,
                                       std::int64_t interval) {
  Scratch scratch;
  scratch.Load(first);
  UseFakeClock(1'000'000'000);
  std::vector<double> out;
  {
    TestQuery query(scratch.dir());
    std::vector<PDH_HCOUNTER> counters;
    for (const std::string& path : paths)
      counters.push_back(query.Add(path));
    EXPECT_EQ(query.Collect(), ERROR_SUCCESS);
    scratch.Load(second);
    AdvanceClock(interval);
    EXPECT_EQ(query.Collect(), ERROR_SUCCESS);
    for (std::size_t i = 0; i < counters.size(); ++i) {
      PDH_FMT_COUNTERVALUE value{};
      PDH_STATUS status = PdhGetFormattedCounterValue(
          counters[i], PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, nullptr, &value);
      EXPECT_EQ(status, ERROR_SUCCESS) << paths[i];
      out.push_back(status == ERROR_SUCCESS ? value.doubleValue
                                            : std::numeric_limits<double>::quiet_NaN());
    }
  }
  UseRealClock();
  return out;
}

}  // namespace perf::testing
