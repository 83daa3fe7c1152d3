// Time as the component world counts it.
//
// FILETIME: 100-nanosecond intervals since 1 January 1601, UTC unless a name says local.
// DATE (automation date): days since midnight 30 December 1899 as a double; the fraction is
// the time of day. Before that day the integer part counts days back while the fraction
// still counts forward: -1.25 is 29 December 1899, 06:00 (not 18:00).
// SYSTEMTIME: broken-down calendar time with milliseconds.
#pragma once

#include "platform/com/types.h"

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8);

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;      // 1..12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;        // 1..31
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

using DATE = double;

// Current time.
void GetSystemTimeAsFileTime(FILETIME* ft) noexcept;
void GetSystemTime(SYSTEMTIME* st) noexcept;
void GetLocalTime(SYSTEMTIME* st) noexcept;

// Conversions; each returns FALSE (0) for a value out of range and leaves the output unset.
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) noexcept;
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) noexcept;
// Local time uses the process's time zone (TZ, read by the C library at its first use or at
// tzset()), with the offset in force at that instant, so summer and winter dates each get their
// own. A local time that occurs twice when the clocks go back gives the earlier instant; one
// skipped when they go forward is read with the offset before the change (02:30 becomes 03:30).
// A result before 1601 is FALSE.
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) noexcept;
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) noexcept;
// Automation dates. As the classic runtime does, SystemTimeToVariantTime ignores
// milliseconds and VariantTimeToSystemTime rounds to the nearest second; the com:: helpers
// below keep milliseconds.
INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date) noexcept;
INT VariantTimeToSystemTime(DATE date, SYSTEMTIME* st) noexcept;

namespace com {

// FILETIME as one 64-bit count, and back.
constexpr ULONGLONG FileTimeToU64(const FILETIME& ft) {
  return (ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}
constexpr FILETIME U64ToFileTime(ULONGLONG v) {
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

// Millisecond-exact conversions between FILETIME, DATE and SYSTEMTIME (no time zone applied).
// They return false for values outside 1 January 100 .. 31 December 9999 (DATE) or before
// 1601 (FILETIME).
bool FileTimeToDate(const FILETIME& ft, DATE* date);
bool DateToFileTime(DATE date, FILETIME* ft);
bool SystemTimeToDate(const SYSTEMTIME& st, DATE* date);
bool DateToSystemTime(DATE date, SYSTEMTIME* st);

// Now as an automation date, UTC or local.
DATE NowUtcDate();
DATE NowLocalDate();

}  // namespace com
