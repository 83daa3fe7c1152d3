#include "tools/zynwatch/output.h"

#include <gtest/gtest.h>

namespace {

const SYSTEMTIME kTime{2026, 12, 2, 8, 7, 5, 9, 42};

TEST(Csv, HeaderNamesTheMachineAndRowsLeaveMissingValuesEmpty) {
  std::vector<std::string> paths = {"\\Processor(_Total)\\% Processor Time",
                                    "\\Memory\\Available MBytes"};
  EXPECT_EQ(CsvHeader("HOST", paths),
            "\"(PDH-CSV 4.0)\",\"\\\\HOST\\Processor(_Total)\\% Processor Time\","
            "\"\\\\HOST\\Memory\\Available MBytes\"");
  EXPECT_EQ(CsvRow(kTime, {12.5, std::nullopt}), "\"12/08/2026 07:05:09.042\",\"12.500000\",");
  EXPECT_EQ(CsvRow(kTime, {std::nullopt, 3.0}), "\"12/08/2026 07:05:09.042\",,\"3.000000\"");
}

TEST(Csv, QuotesInNamesAreDoubled) {
  EXPECT_EQ(CsvHeader("H", {"\\Process(a\"b)\\ID Process"}),
            "\"(PDH-CSV 4.0)\",\"\\\\H\\Process(a\"\"b)\\ID Process\"");
}

TEST(Table, ColumnsLineUpWithTheHeader) {
  TableFormat table({"\\Processor(_Total)\\% Processor Time", "\\Memory\\Available MBytes"});
  std::string header = table.Header();
  std::string row = table.Row(kTime, {1.0, std::nullopt});
  EXPECT_EQ(header.size(), row.size());
  EXPECT_NE(header.find("_Total % Processor Time"), std::string::npos);
  EXPECT_EQ(row.back(), '-');
}

}  // namespace
