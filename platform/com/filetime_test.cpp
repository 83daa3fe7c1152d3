#include "platform/com/filetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

namespace {

SYSTEMTIME St(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  st.wSecond = static_cast<WORD>(s);
  st.wMilliseconds = static_cast<WORD>(ms);
  return st;
}

std::string Text(const SYSTEMTIME& st) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  return buf;
}

std::string DateText(DATE d) {
  SYSTEMTIME st;
  return com::DateToSystemTime(d, &st) ? Text(st) : "invalid";
}

std::optional<DATE> DateOf(const SYSTEMTIME& st) {
  DATE d;
  if (!com::SystemTimeToDate(st, &d)) return std::nullopt;
  return d;
}

TEST(AutomationDate, DaysAroundTheEpochCountBackButTheFractionForward) {
  EXPECT_EQ(DateText(0.0), "1899-12-30 00:00:00.000");
  EXPECT_EQ(DateText(1.0), "1899-12-31 00:00:00.000");
  EXPECT_EQ(DateText(-1.0), "1899-12-29 00:00:00.000");
  EXPECT_EQ(DateText(-1.25), "1899-12-29 06:00:00.000");
  EXPECT_EQ(DateText(-0.5), "1899-12-30 12:00:00.000");
  EXPECT_EQ(DateText(0.5), "1899-12-30 12:00:00.000");
  EXPECT_EQ(DateText(-2.75), "1899-12-28 18:00:00.000");

  EXPECT_EQ(DateOf(St(1899, 12, 29, 6)), -1.25);
  EXPECT_EQ(DateOf(St(1899, 12, 28, 18)), -2.75);
  EXPECT_EQ(DateOf(St(1899, 12, 30, 12)), 0.5);
  EXPECT_EQ(DateOf(St(1900, 1, 1)), 2.0);
}

TEST(AutomationDate, MillisecondsSurviveEveryRoundTrip) {
  for (const SYSTEMTIME& st : {St(1899, 12, 29, 23, 59, 59, 999), St(1899, 12, 30, 0, 0, 0, 1),
                               St(2024, 2, 29, 23, 59, 59, 999), St(100, 1, 1, 0, 0, 0, 1),
                               St(9999, 12, 31, 23, 59, 59, 999), St(1601, 1, 1, 0, 0, 0, 999)}) {
    auto d = DateOf(st);
    ASSERT_TRUE(d) << Text(st);
    EXPECT_EQ(DateText(*d), Text(st));
  }
  // Every millisecond count since 1601 goes FILETIME -> DATE -> FILETIME unchanged.
  std::mt19937_64 rng(7);
  FILETIME max;
  const SYSTEMTIME last = St(9999, 12, 31, 23, 59, 59, 999);
  ASSERT_TRUE(SystemTimeToFileTime(&last, &max));
  std::uniform_int_distribution<ULONGLONG> pick(0, com::FileTimeToU64(max) / 10000);
  for (int i = 0; i < 20000; ++i) {
    const FILETIME ft = com::U64ToFileTime(pick(rng) * 10000);
    DATE d;
    FILETIME back;
    ASSERT_TRUE(com::FileTimeToDate(ft, &d));
    ASSERT_TRUE(com::DateToFileTime(d, &back));
    ASSERT_EQ(com::FileTimeToU64(back), com::FileTimeToU64(ft)) << d;
  }
}

TEST(AutomationDate, RangeIsYear100ToYear9999) {
  EXPECT_EQ(DateOf(St(100, 1, 1)), -657434.0);
  EXPECT_EQ(DateOf(St(9999, 12, 31)), 2958465.0);
  EXPECT_FALSE(DateOf(St(99, 12, 31, 23, 59, 59, 999)));
  EXPECT_FALSE(DateOf(St(10000, 1, 1)));
  SYSTEMTIME st;
  EXPECT_FALSE(com::DateToSystemTime(-657435.0, &st));
  EXPECT_TRUE(com::DateToSystemTime(-657434.999, &st));  // still 1 January 100
  EXPECT_EQ(st.wYear, 100);
  EXPECT_FALSE(com::DateToSystemTime(2958466.0, &st));
  EXPECT_FALSE(com::DateToSystemTime(2958465.99999999999, &st));  // rounds into year 10000
  EXPECT_FALSE(com::DateToSystemTime(NAN, &st));
  EXPECT_FALSE(com::DateToSystemTime(INFINITY, &st));
  // Before 1601 a date has no FILETIME.
  FILETIME ft;
  EXPECT_FALSE(com::DateToFileTime(-109206.5, &ft));  // 31 December 1600, noon
  EXPECT_TRUE(com::DateToFileTime(-109205.5, &ft));   // 1 January 1601, noon
  EXPECT_TRUE(com::DateToFileTime(*DateOf(St(1601, 1, 1)), &ft));
  EXPECT_EQ(com::FileTimeToU64(ft), 0u);
  // Past 9999 a FILETIME has no DATE.
  DATE d;
  const SYSTEMTIME past = St(10000, 1, 1);
  ASSERT_TRUE(SystemTimeToFileTime(&past, &ft));
  EXPECT_FALSE(com::FileTimeToDate(ft, &d));
}

TEST(AutomationDate, ClassicCallsDropMilliseconds) {
  DATE d;
  const SYSTEMTIME withMs = St(2005, 7, 3, 14, 3, 9, 750), noDay = St(2023, 2, 29);
  ASSERT_TRUE(SystemTimeToVariantTime(&withMs, &d));
  EXPECT_EQ(DateText(d), "2005-07-03 14:03:09.000");
  SYSTEMTIME st;
  ASSERT_TRUE(VariantTimeToSystemTime(*DateOf(St(2005, 7, 3, 14, 3, 9, 500)), &st));
  EXPECT_EQ(Text(st), "2005-07-03 14:03:10.000");  // to the nearest second
  ASSERT_TRUE(VariantTimeToSystemTime(*DateOf(St(1899, 12, 29, 6, 0, 0, 499)), &st));
  EXPECT_EQ(Text(st), "1899-12-29 06:00:00.000");
  EXPECT_FALSE(VariantTimeToSystemTime(*DateOf(St(9999, 12, 31, 23, 59, 59, 600)), &st));
  EXPECT_FALSE(SystemTimeToVariantTime(&noDay, &d));
}

TEST(FileTime, CalendarFrom1601) {
  SYSTEMTIME st;
  FILETIME zero{0, 0};
  ASSERT_TRUE(FileTimeToSystemTime(&zero, &st));
  EXPECT_EQ(Text(st), "1601-01-01 00:00:00.000");
  EXPECT_EQ(st.wDayOfWeek, 1);  // Monday
  FILETIME ft;
  const SYSTEMTIME unixEpoch = St(1970, 1, 1), leapDay = St(2000, 2, 29, 12, 30, 15, 999);
  ASSERT_TRUE(SystemTimeToFileTime(&unixEpoch, &ft));
  EXPECT_EQ(com::FileTimeToU64(ft), 116444736000000000u);
  ASSERT_TRUE(SystemTimeToFileTime(&leapDay, &ft));
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(Text(st), "2000-02-29 12:30:15.999");
  EXPECT_EQ(st.wDayOfWeek, 2);  // Tuesday
  // Sub-millisecond ticks are dropped, not rounded up into the next second.
  const FILETIME almost = com::U64ToFileTime(com::FileTimeToU64(ft) + 9999);
  ASSERT_TRUE(FileTimeToSystemTime(&almost, &st));
  EXPECT_EQ(st.wMilliseconds, 999);

  for (const SYSTEMTIME& bad :
       {St(1600, 12, 31), St(1900, 2, 29), St(2001, 4, 31), St(2001, 0, 1), St(2001, 1, 1, 24),
        St(2001, 1, 1, 0, 60), St(2001, 1, 1, 0, 0, 0, 1000)})
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft)) << Text(bad);
  const FILETIME tooLarge = com::U64ToFileTime(0x8000000000000000ull);
  EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &st));
  const FILETIME largest = com::U64ToFileTime(0x7FFFFFFFFFFFFFFFull);
  ASSERT_TRUE(FileTimeToSystemTime(&largest, &st));
  EXPECT_EQ(st.wYear, 30828);
}

// Runs a test in a given time zone and puts the process's zone back afterwards.
class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void Zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  static FILETIME Ft(const SYSTEMTIME& st) {
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft)) << Text(st);
    return ft;
  }
  static std::string ToLocal(const SYSTEMTIME& utc) {
    FILETIME in = Ft(utc), out;
    SYSTEMTIME st;
    if (!FileTimeToLocalFileTime(&in, &out) || !FileTimeToSystemTime(&out, &st)) return "failed";
    return Text(st);
  }
  static std::string ToUtc(const SYSTEMTIME& local) {
    FILETIME in = Ft(local), out;
    SYSTEMTIME st;
    if (!LocalFileTimeToFileTime(&in, &out) || !FileTimeToSystemTime(&out, &st)) return "failed";
    return Text(st);
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(LocalTime, OffsetInForceAtThatInstantAcrossDaylightSaving) {
  Zone("Europe/Berlin");
  EXPECT_EQ(ToLocal(St(2024, 1, 15, 12)), "2024-01-15 13:00:00.000");
  EXPECT_EQ(ToLocal(St(2024, 7, 15, 12, 0, 0, 123)), "2024-07-15 14:00:00.123");
  // Spring: at 01:00 UTC the local clock jumps from 02:00 to 03:00.
  EXPECT_EQ(ToLocal(St(2024, 3, 31, 0, 59, 59, 999)), "2024-03-31 01:59:59.999");
  EXPECT_EQ(ToLocal(St(2024, 3, 31, 1)), "2024-03-31 03:00:00.000");
  EXPECT_EQ(ToUtc(St(2024, 3, 31, 1, 59, 59, 999)), "2024-03-31 00:59:59.999");
  EXPECT_EQ(ToUtc(St(2024, 3, 31, 3)), "2024-03-31 01:00:00.000");
  EXPECT_EQ(ToUtc(St(2024, 3, 31, 2, 30)),
            "2024-03-31 01:30:00.000");  // never shown: read as winter
  // Autumn: at 01:00 UTC the local clock goes back from 03:00 to 02:00.
  EXPECT_EQ(ToLocal(St(2024, 10, 27, 0, 30)), "2024-10-27 02:30:00.000");
  EXPECT_EQ(ToLocal(St(2024, 10, 27, 1, 30)), "2024-10-27 02:30:00.000");
  EXPECT_EQ(ToUtc(St(2024, 10, 27, 2, 30)), "2024-10-27 00:30:00.000");  // the earlier one
  EXPECT_EQ(ToUtc(St(2024, 10, 27, 3)), "2024-10-27 02:00:00.000");

  // Every quarter hour of both change days goes to local time and back, except the second pass
  // through the repeated hour, which reads back as the first.
  for (const SYSTEMTIME& day : {St(2024, 3, 30, 12), St(2024, 10, 26, 12)}) {
    ULONGLONG t = com::FileTimeToU64(Ft(day));
    for (int step = 0; step < 96; ++step, t += 15ull * 60 * 10000000) {
      FILETIME utc = com::U64ToFileTime(t), local, back;
      ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
      ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
      const ULONGLONG shift = com::FileTimeToU64(back) - t;
      SYSTEMTIME st;
      FileTimeToSystemTime(&utc, &st);
      const bool repeated = st.wMonth == 10 && st.wDay == 27 && st.wHour == 1;
      EXPECT_EQ(shift, repeated ? ULONGLONG{0} - 36000000000ull : 0u) << Text(st);
    }
  }
}

TEST_F(LocalTime, UtcZoneAndRangeEdges) {
  Zone("UTC");
  EXPECT_EQ(ToLocal(St(2024, 7, 15, 12)), "2024-07-15 12:00:00.000");
  Zone("America/New_York");
  // West of Greenwich the first instants of 1601 have no local FILETIME.
  FILETIME zero{0, 0}, out;
  EXPECT_FALSE(FileTimeToLocalFileTime(&zero, &out));
  EXPECT_EQ(ToUtc(St(2024, 11, 3, 1, 30)), "2024-11-03 05:30:00.000");  // EDT, the earlier
  EXPECT_EQ(ToLocal(St(2024, 11, 3, 6, 30)), "2024-11-03 01:30:00.000");
}

TEST(Now, AgreesWithTheClock) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  DATE fromFileTime;
  ASSERT_TRUE(com::FileTimeToDate(ft, &fromFileTime));
  const DATE now = com::NowUtcDate();
  EXPECT_NEAR(now, fromFileTime, 5.0 / 86400);
  EXPECT_GT(now, 45000.0);  // after 2023
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  EXPECT_NEAR(com::NowLocalDate() - now, local.tm_gmtoff / 86400.0, 5.0 / 86400);
  SYSTEMTIME st;
  GetSystemTime(&st);
  EXPECT_EQ(st.wYear, static_cast<WORD>(std::gmtime(&t)->tm_year + 1900));
}

}  // namespace
