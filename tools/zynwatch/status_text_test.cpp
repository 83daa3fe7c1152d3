#include "tools/zynwatch/status_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/com/filetime.h"

namespace {

// Runs with a fixed zone an hour east of UTC (no daylight saving), so local times are known.
class StatusText : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "XYZ-1", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static FILETIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
  }

  std::optional<std::string> saved_;
};

TEST_F(StatusText, TimesAreLocalWithTwoDigitFieldsAndTheFullYear) {
  EXPECT_EQ(StatusTimeText(Utc(2005, 7, 3, 13, 3, 9)), "14:03:09 07.03.2005");
  EXPECT_EQ(StatusTimeText(Utc(2023, 12, 31, 23, 59, 59)), "00:59:59 01.01.2024");
}

TEST_F(StatusText, TheRecordReadsAsTheStatusDialog) {
  OPCSERVERSTATUS s{};
  s.ftStartTime = Utc(2005, 7, 3, 13, 3, 9);
  s.ftCurrentTime = Utc(2005, 7, 3, 13, 4, 10);
  s.dwServerState = OPC_STATUS_RUNNING;
  s.dwGroupCount = 2;
  s.dwBandWidth = 0xFFFFFFFF;
  s.wMajorVersion = 3;
  s.wMinorVersion = 5;
  s.wBuildNumber = 63;
  EXPECT_EQ(FormatServerStatus(s, "Corvane"),
            "State:         Server running\n"
            "Group Count:   2\n"
            "BandWidth:     Unknown\n"
            "Manufacturer:  Corvane\n"
            "Version:       3.5, build 63\n"
            "Start:         14:03:09 07.03.2005\n"
            "Current:       14:04:10 07.03.2005\n"
            "Last Update:   No updates\n");
  s.dwBandWidth = 250;
  s.ftLastUpdateTime = s.ftStartTime;
  s.dwServerState = static_cast<OPCSERVERSTATE>(9);
  const std::string text = FormatServerStatus(s, "");
  EXPECT_NE(text.find("State:         Unknown\n"), std::string::npos);
  EXPECT_NE(text.find("BandWidth:     250\n"), std::string::npos);
  EXPECT_NE(text.find("Last Update:   14:03:09 07.03.2005\n"), std::string::npos);
}

}  // namespace
