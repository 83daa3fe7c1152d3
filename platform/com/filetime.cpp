#include "platform/com/filetime.h"

#include <cmath>
#include <ctime>
#include <initializer_list>
#include <limits>

namespace {

using std::int64_t;

constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kMsPerDay = 86'400'000;
constexpr int64_t kMaxTicks = std::numeric_limits<int64_t>::max();

constexpr int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1 January 1970 of a date in the proleptic Gregorian calendar, which is the
// calendar automation dates use for every year, and its inverse. These are the well-known
// era-based formulas: exact for any year, negative ones included.
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
  int64_t year;
  unsigned month, day;
};

constexpr Civil CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return Civil{static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

// Everything below counts milliseconds (or ticks) from 1 January 1601 00:00, the FILETIME
// epoch; dates before it (down to the year 100 of automation dates) are negative.
constexpr int64_t kDays1601 = DaysFromCivil(1601, 1, 1);
constexpr int64_t kDateEpochDays = DaysFromCivil(1899, 12, 30) - kDays1601;
constexpr int64_t kDateEpochMs = kDateEpochDays * kMsPerDay;
constexpr int64_t kMinDateMs = (DaysFromCivil(100, 1, 1) - kDays1601) * kMsPerDay;
constexpr int64_t kMaxDateMs = (DaysFromCivil(10000, 1, 1) - kDays1601) * kMsPerDay - 1;
constexpr int64_t kUnixEpochSeconds = (DaysFromCivil(1970, 1, 1) - kDays1601) * 86400;

static_assert(kDays1601 == -134774);
static_assert(kDateEpochDays == 109205);
static_assert(CivilFromDays(DaysFromCivil(100, 1, 1)).year == 100);
static_assert(CivilFromDays(DaysFromCivil(1600, 2, 29)).day == 29);

// The automation date range as numbers: 1 January 100 is -657434 and 31 December 9999 is
// 2958465; the fraction of a day may be added to either.
constexpr double kMinDateNumber = -657435.0;  // exclusive
constexpr double kMaxDateNumber = 2958466.0;  // exclusive

constexpr bool IsLeap(int64_t y) {
  return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

constexpr unsigned DaysInMonth(int64_t y, unsigned m) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool ValidSystemTime(const SYSTEMTIME& st, int minYear, int maxYear, bool checkMs) {
  return st.wYear >= minYear && st.wYear <= maxYear && st.wMonth >= 1 && st.wMonth <= 12 &&
         st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 &&
         st.wMinute < 60 && st.wSecond < 60 && (!checkMs || st.wMilliseconds < 1000);
}

// Milliseconds since 1601 of a valid SYSTEMTIME (wDayOfWeek is not read).
int64_t SystemTimeToMs(const SYSTEMTIME& st, bool withMs) {
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDays1601;
  const int64_t seconds = ((days * 24 + st.wHour) * 60 + st.wMinute) * 60 + st.wSecond;
  return seconds * 1000 + (withMs ? st.wMilliseconds : 0);
}

// The caller guarantees a year that fits a WORD (1..30828 for anything reaching here).
SYSTEMTIME MsToSystemTime(int64_t ms) {
  const int64_t days = FloorDiv(ms, kMsPerDay);
  int64_t rest = ms - days * kMsPerDay;
  const Civil c = CivilFromDays(days + kDays1601);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(c.year);
  st.wMonth = static_cast<WORD>(c.month);
  st.wDay = static_cast<WORD>(c.day);
  // 1 January 1601 was a Monday.
  st.wDayOfWeek = static_cast<WORD>((days % 7 + 7 + 1) % 7);
  st.wMilliseconds = static_cast<WORD>(rest % 1000);
  rest /= 1000;
  st.wSecond = static_cast<WORD>(rest % 60);
  rest /= 60;
  st.wMinute = static_cast<WORD>(rest % 60);
  st.wHour = static_cast<WORD>(rest / 60);
  return st;
}

// An automation date as whole units (unitsPerDay of them in a day) since 1601, rounded to the
// nearest unit. The integer part of the date counts days (back, when negative) from 30 December
// 1899 and the fraction always counts forward within that day, so -1.25 is 29 December 06:00.
bool DateToUnits(DATE date, int64_t unitsPerDay, int64_t* out) {
  if (!(date > kMinDateNumber && date < kMaxDateNumber)) return false;  // NaN fails too
  const double whole = std::trunc(date);
  const double fraction = std::fabs(date - whole);
  const auto units = static_cast<int64_t>(whole) * unitsPerDay +
                     std::llround(fraction * static_cast<double>(unitsPerDay));
  const int64_t result = units + kDateEpochDays * unitsPerDay;
  const int64_t msPerUnit = kMsPerDay / unitsPerDay;
  if (result < kMinDateMs / msPerUnit || result > kMaxDateMs / msPerUnit) return false;
  *out = result;
  return true;
}

bool DateToMs(DATE date, int64_t* ms) {
  return DateToUnits(date, kMsPerDay, ms);
}

// The inverse; exact to the millisecond for the whole date range, since a day count below 2^22
// leaves 30 bits of the double for the fraction.
DATE MsToDate(int64_t ms) {
  const int64_t sinceEpoch = ms - kDateEpochMs;
  const int64_t days = FloorDiv(sinceEpoch, kMsPerDay);
  const double fraction =
      static_cast<double>(sinceEpoch - days * kMsPerDay) / static_cast<double>(kMsPerDay);
  const auto whole = static_cast<double>(days);
  return days >= 0 ? whole + fraction : whole - fraction;
}

bool TicksOf(const FILETIME* ft, int64_t* ticks) {
  const ULONGLONG v = com::FileTimeToU64(*ft);
  if (v > static_cast<ULONGLONG>(kMaxTicks)) return false;
  *ticks = static_cast<int64_t>(v);
  return true;
}

// The offset from UTC (seconds, east positive) in force at the given instant, in the process's
// time zone.
bool OffsetAt(int64_t unixSeconds, long* offset) {
  const auto t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return false;
  *offset = tm.tm_gmtoff;
  return true;
}

// The UTC instant whose local time is `local` (seconds since 1970 read on the local clock).
// A local time that occurs twice (when the clocks go back) gives the earlier instant; one that
// never occurs (when they go forward) is read with the offset in force before the change, so
// 02:30 on a night that jumps from 02:00 to 03:00 becomes 03:30.
bool LocalToUtcSeconds(int64_t local, int64_t* utc) {
  long before, after;
  if (!OffsetAt(local - 86400, &before) || !OffsetAt(local + 86400, &after)) return false;
  bool found = false;
  int64_t best = 0;
  for (long offset : {before, after}) {
    long actual;
    if (!OffsetAt(local - offset, &actual)) return false;
    if (actual == offset && (!found || local - offset < best)) {
      best = local - offset;
      found = true;
    }
  }
  if (!found) {
    // A gap, or a zone whose offset changes twice within two days: fall back to the offset
    // in force a day before.
    best = local - before;
  }
  *utc = best;
  return true;
}

bool StoreTicks(int64_t ticks, FILETIME* ft) {
  if (ticks < 0) return false;
  *ft = com::U64ToFileTime(static_cast<ULONGLONG>(ticks));
  return true;
}

int64_t NowTicks() {
  std::timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<int64_t>(ts.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond + ts.tv_nsec / 100;
}

}  // namespace

void GetSystemTimeAsFileTime(FILETIME* ft) noexcept {
  if (ft != nullptr) *ft = com::U64ToFileTime(static_cast<ULONGLONG>(NowTicks()));
}

void GetSystemTime(SYSTEMTIME* st) noexcept {
  if (st != nullptr) *st = MsToSystemTime(NowTicks() / kTicksPerMs);
}

void GetLocalTime(SYSTEMTIME* st) noexcept {
  if (st == nullptr) return;
  FILETIME utc, local;
  GetSystemTimeAsFileTime(&utc);
  if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
  FileTimeToSystemTime(&local, st);
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) noexcept {
  int64_t ticks;
  if (ft == nullptr || st == nullptr || !TicksOf(ft, &ticks)) return FALSE;
  *st = MsToSystemTime(ticks / kTicksPerMs);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) noexcept {
  if (st == nullptr || ft == nullptr || !ValidSystemTime(*st, 1601, 30828, true)) return FALSE;
  const int64_t ms = SystemTimeToMs(*st, true);
  if (ms > kMaxTicks / kTicksPerMs) return FALSE;
  return StoreTicks(ms * kTicksPerMs, ft);
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) noexcept {
  int64_t ticks;
  long offset;
  if (utc == nullptr || local == nullptr || !TicksOf(utc, &ticks)) return FALSE;
  if (!OffsetAt(FloorDiv(ticks, kTicksPerSecond) - kUnixEpochSeconds, &offset)) return FALSE;
  const int64_t shift = int64_t{offset} * kTicksPerSecond;
  if (shift > 0 && ticks > kMaxTicks - shift) return FALSE;
  return StoreTicks(ticks + shift, local);
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) noexcept {
  int64_t ticks;
  if (local == nullptr || utc == nullptr || !TicksOf(local, &ticks)) return FALSE;
  const int64_t seconds = FloorDiv(ticks, kTicksPerSecond);
  int64_t utcSeconds;
  if (!LocalToUtcSeconds(seconds - kUnixEpochSeconds, &utcSeconds)) return FALSE;
  const int64_t shift = (utcSeconds + kUnixEpochSeconds - seconds) * kTicksPerSecond;
  if (shift > 0 && ticks > kMaxTicks - shift) return FALSE;
  return StoreTicks(ticks + shift, utc);
}

INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date) noexcept {
  if (st == nullptr || date == nullptr || !ValidSystemTime(*st, 100, 9999, false)) return FALSE;
  *date = MsToDate(SystemTimeToMs(*st, false));
  return TRUE;
}

INT VariantTimeToSystemTime(DATE date, SYSTEMTIME* st) noexcept {
  int64_t seconds;
  if (st == nullptr || !DateToUnits(date, 86400, &seconds)) return FALSE;
  *st = MsToSystemTime(seconds * 1000);
  return TRUE;
}

namespace com {

bool FileTimeToDate(const FILETIME& ft, DATE* date) {
  int64_t ticks;
  if (date == nullptr || !TicksOf(&ft, &ticks)) return false;
  const int64_t ms = ticks / kTicksPerMs;
  if (ms > kMaxDateMs) return false;
  *date = MsToDate(ms);
  return true;
}

bool DateToFileTime(DATE date, FILETIME* ft) {
  int64_t ms;
  if (ft == nullptr || !DateToMs(date, &ms) || ms < 0) return false;  // before 1601
  return StoreTicks(ms * kTicksPerMs, ft);
}

bool SystemTimeToDate(const SYSTEMTIME& st, DATE* date) {
  if (date == nullptr || !ValidSystemTime(st, 100, 9999, true)) return false;
  *date = MsToDate(SystemTimeToMs(st, true));
  return true;
}

bool DateToSystemTime(DATE date, SYSTEMTIME* st) {
  int64_t ms;
  if (st == nullptr || !DateToMs(date, &ms)) return false;
  *st = MsToSystemTime(ms);
  return true;
}

DATE NowUtcDate() {
  return MsToDate(NowTicks() / kTicksPerMs);
}

DATE NowLocalDate() {
  FILETIME utc, local;
  GetSystemTimeAsFileTime(&utc);
  if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
  return MsToDate(static_cast<int64_t>(FileTimeToU64(local)) / kTicksPerMs);
}

}  // namespace com
