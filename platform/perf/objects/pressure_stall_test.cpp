#include <gtest/gtest.h>

#include <string>

#include "platform/perf/pdh.h"
#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

constexpr std::int64_t kTwoSeconds = 20'000'000;

TEST(PressureStallObject, AveragesAndStallTimeOverTheInterval) {
  const std::string o = "\\Pressure Stall Information";
  auto v =
      ValuesOverInterval({o + "(cpu)\\% Some Stalled 10s", o + "(cpu)\\% Some Stalled 60s",
                          o + "(cpu)\\% Some Stalled 300s", o + "(cpu)\\% Some Stall Time",
                          o + "(cpu)\\% Full Stall Time", o + "(memory)\\% Some Stall Time",
                          o + "(memory)\\% Full Stall Time", o + "(memory)\\% Full Stalled 10s",
                          o + "(memory)\\% Full Stalled 60s", o + "(memory)\\% Full Stalled 300s",
                          o + "(io)\\% Some Stall Time", o + "(io)\\% Full Stall Time"},
                         "psi1", "psi2", kTwoSeconds);
  // cpu: 0.5 s of 2 s stalled; memory 0.2 s and 0.1 s; io 2 s and none.
  std::vector<double> expected = {12.34, 5.6, 100, 25, 0, 10, 5, 0.5, 0.25, 0.05, 100, 0};
  ASSERT_EQ(v.size(), expected.size());
  for (std::size_t i = 0; i < v.size(); ++i)
    EXPECT_DOUBLE_EQ(v[i], expected[i]) << i;
}

TEST(PressureStallObject, InstancesAreTheResourcesTheKernelReports) {
  // psi1's irq file is empty (PSI off for it): no instance until psi2 fills it with the
  // "full" line alone, whose missing "some" figures read 0.
  Scratch scratch;
  scratch.Load("psi1");
  TestQuery query(scratch.dir());
  PDH_HCOUNTER full = query.Add("\\Pressure Stall Information(irq)\\% Full Stalled 10s");
  PDH_HCOUNTER some = query.Add("\\Pressure Stall Information(irq)\\% Some Stalled 10s");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE value{};
  EXPECT_NE(PdhGetFormattedCounterValue(full, PDH_FMT_DOUBLE, nullptr, &value), ERROR_SUCCESS);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_NO_INSTANCE);
  scratch.Load("psi2");
  ASSERT_EQ(query.Collect(), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(query.Value(full), 0.12);
  EXPECT_DOUBLE_EQ(query.Value(some), 0.0);

  // No /proc/pressure at all: no instances.
  Scratch empty;
  TestQuery none(empty.dir());
  PDH_HCOUNTER cpu = none.Add("\\Pressure Stall Information(cpu)\\% Some Stalled 10s");
  ASSERT_EQ(none.Collect(), ERROR_SUCCESS);
  EXPECT_NE(PdhGetFormattedCounterValue(cpu, PDH_FMT_DOUBLE, nullptr, &value), ERROR_SUCCESS);
  EXPECT_EQ(value.CStatus, PDH_CSTATUS_NO_INSTANCE);
}

}  // namespace
}  // namespace perf::testing
