// The clock: the system tick count, conversions of 64-bit calendar time through the C
// run-time's 64-bit functions, and the user's date and time formats.
#include <ctime>
#include <string>

#include "framework/backend.h"
#include "framework/clock.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

// Characters, terminator included.
constexpr int kFormatBufferSize = 50;

// The calendar fields as a SYSTEMTIME, or false when they do not fit one.
bool ToSystemTime(const CalendarTime& local, SYSTEMTIME& st) {
  if (local.year < 1601 || local.year > 30827 || local.month < 1 || local.month > 12 || local.day < 1 ||
      local.day > 31 || local.hour < 0 || local.hour > 23 || local.minute < 0 || local.minute > 59 ||
      local.second < 0 || local.second > 59) {
    return false;
  }
  st = {};
  st.wYear = static_cast<WORD>(local.year);
  st.wMonth = static_cast<WORD>(local.month);
  st.wDayOfWeek = static_cast<WORD>(local.dayOfWeek >= 0 && local.dayOfWeek <= 6 ? local.dayOfWeek : 0);
  st.wDay = static_cast<WORD>(local.day);
  st.wHour = static_cast<WORD>(local.hour);
  st.wMinute = static_cast<WORD>(local.minute);
  st.wSecond = static_cast<WORD>(local.second);
  return true;
}

std::string FromBuffer(const char* buffer, int written) {
  return written > 1 ? std::string(buffer, static_cast<std::size_t>(written - 1)) : std::string();
}

}  // namespace

bool ToLocalTime(std::int64_t t, CalendarTime& out) {
  std::tm converted{};
  const __time64_t value = t;
  if (::_localtime64_s(&converted, &value) != 0) return false;
  out = backend::FromTm(converted);
  return true;
}

bool ToUtcTime(std::int64_t t, CalendarTime& out) {
  std::tm converted{};
  const __time64_t value = t;
  if (::_gmtime64_s(&converted, &value) != 0) return false;
  out = backend::FromTm(converted);
  return true;
}

std::int64_t FromLocalTime(const CalendarTime& local) {
  std::tm fields = backend::ToTm(local);
  return ::_mktime64(&fields);
}

std::string FormatShortDate(const CalendarTime& local) {
  SYSTEMTIME st;
  if (!ToSystemTime(local, st)) return {};
  char buffer[kFormatBufferSize];
  return FromBuffer(buffer, ::GetDateFormatA(0, DATE_SHORTDATE, &st, nullptr, buffer, kFormatBufferSize));
}

std::string FormatTimeOfDay(const CalendarTime& local, bool withSeconds) {
  SYSTEMTIME st;
  if (!ToSystemTime(local, st)) return {};
  char buffer[kFormatBufferSize];
  return FromBuffer(buffer,
                    ::GetTimeFormatA(0, withSeconds ? 0 : TIME_NOSECONDS, &st, nullptr, buffer, kFormatBufferSize));
}

namespace backend {

std::uint32_t TickCount() {
  return ::GetTickCount();
}

}  // namespace backend
}  // namespace fw
