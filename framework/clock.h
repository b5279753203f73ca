// Time: the millisecond tick count, the calendar clock, conversions between calendar time
// and broken-down local or UTC time, and the user's date and time formats.
// Tests can replace the tick count and the calendar clock (framework/test_seams.h).
#pragma once

#include <cstdint>
#include <string>

namespace fw {

// Milliseconds since the system started, wrapping at 2^32 (GetTickCount).
std::uint32_t GetTickCount();

// Seconds since 1970-01-01 00:00:00 UTC (_time64).
std::int64_t Time64();

// Broken-down calendar time.
struct CalendarTime {
  int year = 1970;
  int month = 1;      // 1..12
  int day = 1;        // 1..31
  int hour = 0;       // 0..23
  int minute = 0;     // 0..59
  int second = 0;     // 0..60
  int dayOfWeek = 4;  // 0 = Sunday
};

// _localtime64 / _gmtime64: false when the time cannot be converted.
bool ToLocalTime(std::int64_t t, CalendarTime& out);
bool ToUtcTime(std::int64_t t, CalendarTime& out);
// _mktime64 of local fields, daylight saving left to the conversion (tm_isdst = -1).
// Returns -1 when the fields cannot be converted.
std::int64_t FromLocalTime(const CalendarTime& local);

// The user's short date (GetDateFormatA, DATE_SHORTDATE) and time of day (GetTimeFormatA,
// with or without seconds). Elsewhere: LC_TIME's "%x" and "%X" (seconds dropped on request),
// or ISO 8601 ("2026-12-06", "14:05:09") where LC_TIME is C or POSIX. Empty on failure.
std::string FormatShortDate(const CalendarTime& local);
std::string FormatTimeOfDay(const CalendarTime& local, bool withSeconds);

}  // namespace fw
