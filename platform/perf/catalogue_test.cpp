#include "platform/perf/catalogue.h"

#include <gtest/gtest.h>

namespace perf {
namespace {

TEST(InstanceNames, WindowsRules) {
  std::string out;
  SanitizeInstanceName("my (weird)#1 proc\\x", out);
  EXPECT_EQ(out, "my [weird]_1 proc_x");
  SanitizeInstanceName(std::string_view("a\0b\n", 4), out);
  EXPECT_EQ(out, "a_b_");
  SanitizeInstanceName("", out);
  EXPECT_EQ(out, "_");
  SanitizeInstanceName("kworker/0:1", out);
  EXPECT_EQ(out, "kworker/0:1");
  for (const char* total : {"_Total", "_total", "_TOTAL"}) {
    SanitizeInstanceName(total, out);
    EXPECT_EQ(out, std::string(total) + "_");
  }
  SanitizeInstanceName("_Totals", out);
  EXPECT_EQ(out, "_Totals");
}

TEST(InstanceTable, RowsKeepTheirStorageAndTotalSums) {
  InstanceTable table;
  for (int round = 0; round < 2; ++round) {
    table.Begin(3);
    std::int64_t* a = table.Add("a", 7);
    a[0] = 1;
    a[1] = 10;
    a[2] = 100;
    std::int64_t* b = table.Add("b");
    b[0] = 2;
    b[1] = 20;
    b[2] = 200;
    std::int64_t* total = table.AddTotal({0, 2});
    EXPECT_EQ(total[0], 3);
    EXPECT_EQ(total[1], 0);  // not summed
    EXPECT_EQ(total[2], 300);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table.name(2), "_Total");
    EXPECT_EQ(table.key(0), 7u);
    EXPECT_EQ(table.values(1)[1], 20);
  }
  table.Begin(3);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.Add("fresh")[2], 0);  // a reused row starts at zero
}

}  // namespace
}  // namespace perf
