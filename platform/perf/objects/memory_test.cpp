#include <gtest/gtest.h>

#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

TEST(MemoryObject, ValuesFromSnapshots) {
  // Snapshot a then b, 2 seconds apart.
  auto v = ValuesOverInterval(
      {"\\Memory\\Available Bytes", "\\Memory\\Available MBytes", "\\Memory\\Committed Bytes",
       "\\Memory\\% Committed Bytes In Use", "\\Memory\\Cache Bytes",
       "\\Memory\\Pool Nonpaged Bytes", "\\Memory\\Used Bytes", "\\Memory\\Page Faults/sec",
       "\\Memory\\Pages/sec", "\\Memory\\Page Reads/sec", "\\Memory\\Pages Input/sec"},
      "a", "b", 20'000'000);
  ASSERT_EQ(v.size(), 11u);
  EXPECT_DOUBLE_EQ(v[0], 12000000.0 * 1024);
  EXPECT_DOUBLE_EQ(v[1], 11718.0);  // 12000000 kB / 1024, whole MB
  EXPECT_DOUBLE_EQ(v[2], 6000000.0 * 1024);
  EXPECT_DOUBLE_EQ(v[3], 50.0);
  EXPECT_DOUBLE_EQ(v[4], (100000.0 + 2000000 + 300000) * 1024);
  EXPECT_DOUBLE_EQ(v[5], 150000.0 * 1024);
  EXPECT_DOUBLE_EQ(v[6], 4000000.0 * 1024);
  EXPECT_DOUBLE_EQ(v[7], 10000.0);  // 20000 faults in 2 s
  EXPECT_DOUBLE_EQ(v[8], 75.0);     // (50 + 100) pages in 2 s
  EXPECT_DOUBLE_EQ(v[9], 15.0);
  EXPECT_DOUBLE_EQ(v[10], 25.0);
}

}  // namespace
}  // namespace perf::testing
