// The clock services on POSIX systems: the monotonic tick count, conversions with
// localtime_r/gmtime_r/mktime, and date and time texts in the user's LC_TIME locale (ISO 8601
// where that locale is C or POSIX), formatted without touching the process locale.
#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "framework/backend.h"
#include "framework/clock.h"
#include "framework/module_end.h"
#include "framework/strings.h"

namespace fw {
namespace {

bool ToTimeT(std::int64_t t, std::time_t& out) {
  if (t < static_cast<std::int64_t>(std::numeric_limits<std::time_t>::min()) ||
      t > static_cast<std::int64_t>(std::numeric_limits<std::time_t>::max())) {
    return false;
  }
  out = static_cast<std::time_t>(t);
  return true;
}

// The name that setlocale(LC_TIME, "") would choose: LC_ALL, LC_TIME, LANG, else "C".
std::string UserTimeLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "C";
}

bool IsCLocaleName(std::string_view name) {
  return name == "C" || name == "POSIX" || name.substr(0, 2) == "C.";
}

// The user's LC_TIME locale, created again whenever the environment names another one.
class TimeLocale {
 public:
  ~TimeLocale() {
    if (m_locale != locale_t{}) freelocale(m_locale);
  }

  // Runs `use` with the user's locale, or with a null locale when it is C or POSIX (or cannot
  // be loaded, when setlocale would fall back to C as well).
  template <typename Use>
  std::string With(Use use) {
    const std::string name = UserTimeLocaleName();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (name != m_name) {
      if (m_locale != locale_t{}) freelocale(m_locale);
      m_locale = IsCLocaleName(name) ? locale_t{} : newlocale(LC_TIME_MASK, name.c_str(), locale_t{});
      m_name = name;
    }
    return use(m_locale);
  }

 private:
  std::mutex m_mutex;
  std::string m_name;
  locale_t m_locale{};
};

TimeLocale& UserTimeLocale() {
  static TimeLocale* locale = KeepUntilModuleEnd(new TimeLocale);  // outlives every static user
  return *locale;
}

std::string FormatTm(const char* format, const std::tm& tm, locale_t locale) {
  char buffer[128];
  const std::size_t length = strftime_l(buffer, sizeof buffer, format, &tm, locale);
  return std::string(buffer, length);
}

// A strftime pattern split into conversions ("%H", "%OS", "%%") and literal text.
struct Token {
  std::string text;
  bool conversion;
};

std::vector<Token> Tokenize(std::string_view format, locale_t locale, int depth = 0) {
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < format.size();) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      if (tokens.empty() || tokens.back().conversion) tokens.push_back({"", false});
      tokens.back().text += format[i++];
      continue;
    }
    std::size_t end = i + 1;
    while (end < format.size() && (format[end] == 'E' || format[end] == 'O')) ++end;
    if (end < format.size()) ++end;
    const std::string conversion(format.substr(i, end - i));
    const char letter = conversion.back();
    // Composite conversions are expanded so that their seconds field can be found.
    const char* expansion = nullptr;
    if (letter == 'T') expansion = "%H:%M:%S";
    if (letter == 'r') expansion = nl_langinfo_l(T_FMT_AMPM, locale);
    if (letter == 'X') expansion = nl_langinfo_l(T_FMT, locale);
    if (expansion != nullptr && expansion[0] != '\0' && depth < 3) {
      for (Token& token : Tokenize(expansion, locale, depth + 1)) tokens.push_back(std::move(token));
    } else {
      tokens.push_back({conversion, true});
    }
    i = end;
  }
  return tokens;
}

bool IsSeconds(const Token& token) {
  return token.conversion && token.text.back() == 'S';
}

bool IsPunctuation(const std::string& text) {
  for (char c : text) {
    if (std::strchr(":.,- ", c) == nullptr) return false;
  }
  return !text.empty();
}

// The locale's time format without its seconds field: "%H:%M:%S" gives "%H:%M", "%I:%M:%S %p"
// gives "%I:%M %p". A separator before the seconds goes with them; where the text around the
// fields is a unit ("%Hh%Mm%Ss"), the unit after the seconds goes instead.
std::string TimeFormatWithoutSeconds(locale_t locale) {
  std::vector<Token> tokens = Tokenize("%X", locale);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (!IsSeconds(tokens[i])) continue;
    std::size_t first = i;
    std::size_t last = i + 1;
    if (i > 0 && !tokens[i - 1].conversion && i >= 2 && IsPunctuation(tokens[i - 1].text)) {
      first = i - 1;
    } else if (last < tokens.size() && !tokens[last].conversion) {
      // Drop the unit up to the next blank.
      const std::size_t blank = tokens[last].text.find(' ');
      if (blank == std::string::npos) {
        ++last;
      } else {
        tokens[last].text.erase(0, blank);
      }
    }
    tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(first),
                 tokens.begin() + static_cast<std::ptrdiff_t>(last));
    break;
  }
  std::string format;
  for (const Token& token : tokens) format += token.text;
  while (!format.empty() && format.back() == ' ') format.pop_back();  // "%H시 %M분 " lost its last field
  return format;
}

}  // namespace

namespace backend {

std::uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

}  // namespace backend

bool ToLocalTime(std::int64_t t, CalendarTime& out) {
  std::time_t value;
  std::tm tm{};
  if (!ToTimeT(t, value) || localtime_r(&value, &tm) == nullptr) return false;
  out = backend::FromTm(tm);
  return true;
}

bool ToUtcTime(std::int64_t t, CalendarTime& out) {
  std::time_t value;
  std::tm tm{};
  if (!ToTimeT(t, value) || gmtime_r(&value, &tm) == nullptr) return false;
  out = backend::FromTm(tm);
  return true;
}

std::int64_t FromLocalTime(const CalendarTime& local) {
  std::tm tm = backend::ToTm(local);
  return static_cast<std::int64_t>(std::mktime(&tm));
}

std::string FormatShortDate(const CalendarTime& local) {
  const std::tm tm = backend::ToTm(local);
  return UserTimeLocale().With([&](locale_t locale) {
    if (locale == locale_t{}) return Format("%04d-%02d-%02d", local.year, local.month, local.day);
    return FormatTm("%x", tm, locale);
  });
}

std::string FormatTimeOfDay(const CalendarTime& local, bool withSeconds) {
  const std::tm tm = backend::ToTm(local);
  return UserTimeLocale().With([&](locale_t locale) {
    if (locale == locale_t{}) {
      return withSeconds ? Format("%02d:%02d:%02d", local.hour, local.minute, local.second)
                         : Format("%02d:%02d", local.hour, local.minute);
    }
    return FormatTm(withSeconds ? "%X" : TimeFormatWithoutSeconds(locale).c_str(), tm, locale);
  });
}

}  // namespace fw
