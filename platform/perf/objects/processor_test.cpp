#include <gtest/gtest.h>

#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

constexpr std::int64_t kTwoSeconds = 20'000'000;

TEST(ProcessorObject, PercentagesUseEachCpusOwnTimeBase) {
  // cpu0 spent 200 jiffies: user 60, nice 4, system 20, idle 80, iowait 20, irq 4, softirq 4,
  // steal 8 (guest 10 inside user); cpu1 200: user 20, system 10, idle 160, irq 2, softirq 2,
  // steal 6.
  auto v = ValuesOverInterval(
      {"\\Processor(0)\\% Processor Time", "\\Processor(0)\\% User Time",
       "\\Processor(0)\\% Privileged Time", "\\Processor(0)\\% Interrupt Time",
       "\\Processor(0)\\% DPC Time", "\\Processor(0)\\% Idle Time",
       "\\Processor(0)\\% IO Wait Time", "\\Processor(0)\\% Steal Time",
       "\\Processor(0)\\% Nice Time", "\\Processor(0)\\% Guest Time",
       "\\Processor(1)\\% Processor Time", "\\Processor(_Total)\\% Processor Time",
       "\\Processor(_Total)\\% User Time", "\\Processor(_Total)\\% Idle Time"},
      "a", "b", kTwoSeconds);
  ASSERT_EQ(v.size(), 14u);
  EXPECT_DOUBLE_EQ(v[0], 46.0);
  EXPECT_DOUBLE_EQ(v[1], 32.0);
  EXPECT_DOUBLE_EQ(v[2], 14.0);
  EXPECT_DOUBLE_EQ(v[3], 2.0);
  EXPECT_DOUBLE_EQ(v[4], 2.0);
  EXPECT_DOUBLE_EQ(v[5], 40.0);
  EXPECT_DOUBLE_EQ(v[6], 10.0);
  EXPECT_DOUBLE_EQ(v[7], 4.0);
  EXPECT_DOUBLE_EQ(v[8], 2.0);
  EXPECT_DOUBLE_EQ(v[9], 5.0);
  EXPECT_DOUBLE_EQ(v[10], 17.0);
  EXPECT_DOUBLE_EQ(v[11], 31.5);
  EXPECT_DOUBLE_EQ(v[12], 21.0);
  EXPECT_DOUBLE_EQ(v[13], 60.0);
}

TEST(ProcessorObject, InterruptRatesPerCpuAndTotal) {
  auto v =
      ValuesOverInterval({"\\Processor(0)\\Interrupts/sec", "\\Processor(1)\\Interrupts/sec",
                          "\\Processor(_Total)\\Interrupts/sec", "\\Processor(0)\\DPCs Queued/sec",
                          "\\Processor(_Total)\\DPCs Queued/sec"},
                         "a", "b", kTwoSeconds);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_DOUBLE_EQ(v[0], 600.0);  // /proc/interrupts column sums, +1200 in 2 s
  EXPECT_DOUBLE_EQ(v[1], 400.0);
  EXPECT_DOUBLE_EQ(v[2], 1000.0);  // /proc/stat intr, +2000 in 2 s
  EXPECT_DOUBLE_EQ(v[3], 100.0);
  EXPECT_DOUBLE_EQ(v[4], 300.0);
}

}  // namespace
}  // namespace perf::testing
