#include <gtest/gtest.h>

#include "platform/perf/test_support.h"

namespace perf::testing {
namespace {

TEST(PagingFileObject, UsageAndPeakPerAreaAndTotal) {
  // /dev/sdb2: 4000000 kB, used 1000000 then 500000; "/swap file" (escaped \040 in
  // /proc/swaps): 1000000 kB, used 500000 then 750000.
  auto v = ValuesOverInterval(
      {"\\Paging File(/dev/sdb2)\\% Usage", "\\Paging File(/dev/sdb2)\\% Usage Peak",
       "\\Paging File(/swap file)\\% Usage", "\\Paging File(/swap file)\\% Usage Peak",
       "\\Paging File(_Total)\\% Usage", "\\Paging File(_Total)\\% Usage Peak",
       "\\Paging File(/dev/sdb2)\\Usage Bytes", "\\Paging File(_Total)\\Size Bytes"},
      "a", "b", 20'000'000);
  ASSERT_EQ(v.size(), 8u);
  EXPECT_DOUBLE_EQ(v[0], 12.5);
  EXPECT_DOUBLE_EQ(v[1], 25.0);
  EXPECT_DOUBLE_EQ(v[2], 75.0);
  EXPECT_DOUBLE_EQ(v[3], 75.0);
  EXPECT_DOUBLE_EQ(v[4], 25.0);
  EXPECT_DOUBLE_EQ(v[5], 30.0);
  EXPECT_DOUBLE_EQ(v[6], 500000.0 * 1024);
  EXPECT_DOUBLE_EQ(v[7], 5000000.0 * 1024);
}

}  // namespace
}  // namespace perf::testing
