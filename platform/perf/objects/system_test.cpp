#include <gtest/gtest.h>

#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

TEST(SystemObject, ValuesFromSnapshots) {
  auto v = ValuesOverInterval({"\\System\\Processes", "\\System\\Threads",
                               "\\System\\Processor Queue Length", "\\System\\Blocked Processes",
                               "\\System\\Context Switches/sec", "\\System\\Process Creations/sec",
                               "\\System\\System Up Time", "\\System\\Load Average (1 min)",
                               "\\System\\Load Average (5 min)", "\\System\\Load Average (15 min)"},
                              "a", "b", 20'000'000);
  ASSERT_EQ(v.size(), 10u);
  EXPECT_DOUBLE_EQ(v[0], 4.0);
  EXPECT_DOUBLE_EQ(v[1], 250.0);
  EXPECT_DOUBLE_EQ(v[2], 3.0);
  EXPECT_DOUBLE_EQ(v[3], 1.0);
  EXPECT_DOUBLE_EQ(v[4], 2000.0);
  EXPECT_DOUBLE_EQ(v[5], 5.0);
  EXPECT_DOUBLE_EQ(v[6], 1002.5);
  EXPECT_DOUBLE_EQ(v[7], 0.52);
  EXPECT_DOUBLE_EQ(v[8], 1.05);
  EXPECT_DOUBLE_EQ(v[9], 12.5);
}

}  // namespace
}  // namespace perf::testing
