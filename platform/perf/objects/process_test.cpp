#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "platform/perf/pdh.h"
#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

constexpr std::int64_t kTwoSeconds = 20'000'000;

TEST(ProcessObject, InstancesNumberDuplicateNames) {
  DWORD counters = 0, instances = 0;
  std::string source = TestData("a");
  ASSERT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, "Process", nullptr, &counters, nullptr,
                               &instances, PERF_DETAIL_WIZARD, 0),
            PDH_MORE_DATA);
  std::string list(instances, '\0');
  ASSERT_EQ(PdhEnumObjectItems(source.c_str(), nullptr, "Process", nullptr, nullptr, list.data(),
                               &instances, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  // In pid order; "(" and ")" of a command name become "[" and "]".
  EXPECT_EQ(list, std::string("systemd\0bash\0bash#1\0my [weird] proc\0_Total\0\0", 44));
}

TEST(ProcessObject, ValuesFromSnapshots) {
  // bash (pid 100) over 2 s: utime +100 and stime +50 jiffies, +400 faults, rchar +200000,
  // wchar +20000, syscr +200, syscw +100, read_bytes +40960.
  const std::string p = "\\Process(bash)\\";
  auto v = ValuesOverInterval({p + "% Processor Time",
                               p + "% User Time",
                               p + "% Privileged Time",
                               p + "Working Set",
                               p + "Working Set Peak",
                               p + "Private Bytes",
                               p + "Virtual Bytes",
                               p + "Virtual Bytes Peak",
                               p + "Page Faults/sec",
                               p + "Page File Bytes",
                               p + "Thread Count",
                               p + "Handle Count",
                               p + "ID Process",
                               p + "Creating Process ID",
                               p + "Elapsed Time",
                               p + "Priority Base",
                               p + "IO Read Operations/sec",
                               p + "IO Write Operations/sec",
                               p + "IO Data Operations/sec",
                               p + "IO Read Bytes/sec",
                               p + "IO Write Bytes/sec",
                               p + "IO Data Bytes/sec",
                               p + "Disk Read Bytes/sec",
                               "\\Process(bash#1)\\ID Process",
                               "\\Process(bash#1)\\Priority Base",
                               "\\Process(my [weird] proc)\\Thread Count",
                               "\\Process(_Total)\\Thread Count",
                               "\\Process(_Total)\\% Processor Time",
                               "\\Process(_Total)\\ID Process"},
                              "a", "b", kTwoSeconds);
  ASSERT_EQ(v.size(), 29u);
  double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  EXPECT_DOUBLE_EQ(v[0], 75.0);
  EXPECT_DOUBLE_EQ(v[1], 50.0);
  EXPECT_DOUBLE_EQ(v[2], 25.0);
  EXPECT_DOUBLE_EQ(v[3], 1000 * page);
  EXPECT_DOUBLE_EQ(v[4], 5000.0 * 1024);
  EXPECT_DOUBLE_EQ(v[5], 600 * page);  // statm data
  EXPECT_DOUBLE_EQ(v[6], 10000000.0);
  EXPECT_DOUBLE_EQ(v[7], 12000.0 * 1024);
  EXPECT_DOUBLE_EQ(v[8], 200.0);
  EXPECT_DOUBLE_EQ(v[9], 100.0 * 1024);
  EXPECT_DOUBLE_EQ(v[10], 1.0);
  EXPECT_DOUBLE_EQ(v[11], 4.0);
  EXPECT_DOUBLE_EQ(v[12], 100.0);
  EXPECT_DOUBLE_EQ(v[13], 1.0);
  EXPECT_DOUBLE_EQ(v[14], 952.5);  // uptime 1002.5 s, started at 50 s
  EXPECT_DOUBLE_EQ(v[15], 20.0);
  EXPECT_DOUBLE_EQ(v[16], 100.0);
  EXPECT_DOUBLE_EQ(v[17], 50.0);
  EXPECT_DOUBLE_EQ(v[18], 150.0);
  EXPECT_DOUBLE_EQ(v[19], 100000.0);
  EXPECT_DOUBLE_EQ(v[20], 10000.0);
  EXPECT_DOUBLE_EQ(v[21], 110000.0);
  EXPECT_DOUBLE_EQ(v[22], 20480.0);
  EXPECT_DOUBLE_EQ(v[23], 200.0);
  EXPECT_DOUBLE_EQ(v[24], 15.0);  // nice 5
  EXPECT_DOUBLE_EQ(v[25], 4.0);
  EXPECT_DOUBLE_EQ(v[26], 8.0);
  EXPECT_DOUBLE_EQ(v[27], 75.0);
  EXPECT_DOUBLE_EQ(v[28], 0.0);
}

TEST(ProcessObject, AnotherProcessBehindTheNameStartsTheRateOver) {
  Scratch scratch;
  scratch.Load("a");
  UseFakeClock(1'000'000'000);
  TestQuery query(scratch.dir());
  PDH_HCOUNTER faults = query.Add("\\Process(bash#1)\\Page Faults/sec");
  PDH_HCOUNTER gone = query.Add("\\Process(my [weird] proc)\\Thread Count");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  AdvanceClock(kTwoSeconds);
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(faults), 0.0);

  // pid 200 exits and pid 250, also bash, takes the name "bash#1"; pid 300 exits.
  std::filesystem::remove_all(scratch.dir() + "/proc/200");
  std::filesystem::remove_all(scratch.dir() + "/proc/300");
  std::filesystem::create_directories(scratch.dir() + "/proc/250");
  std::ofstream(scratch.dir() + "/proc/250/stat")
      << "250 (bash) S 1 250 250 0 -1 0 90000 0 0 0 1 1 0 0 20 0 1 0 9000 1000 10\n";
  AdvanceClock(kTwoSeconds);
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE value{};
  EXPECT_EQ(PdhGetFormattedCounterValue(faults, PDH_FMT_DOUBLE, nullptr, &value), PDH_INVALID_DATA);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_INVALID_DATA);
  EXPECT_EQ(PdhGetFormattedCounterValue(gone, PDH_FMT_DOUBLE, nullptr, &value), PDH_INVALID_DATA);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_NO_INSTANCE);

  // One more collection and the new process has a rate of its own.
  std::ofstream(scratch.dir() + "/proc/250/stat")
      << "250 (bash) S 1 250 250 0 -1 0 90100 0 0 0 1 1 0 0 20 0 1 0 9000 1000 10\n";
  AdvanceClock(kTwoSeconds);
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(faults), 50.0);
  UseRealClock();
}

}  // namespace
}  // namespace perf::testing
