// Texts and time: the string table (and, under Windows, its agreement with the system's
// loader), printf-style formatting, the Windows-1252 case and trimming rules, and the date and
// time texts.
#include <gtest/gtest.h>

#include "framework/clock.h"
#include "framework/strings.h"
#include "test_support.h"

#if defined(_WIN32)
#include "framework/win32/windows_api.h"
#endif

namespace {

TEST(LoadString, GivesTheWindows1252BytesAndNothingForMissingOrWrappingIds) {
  EXPECT_EQ(fw::LoadString(6505), "Fehler beim \326ffnen der Datei");
  EXPECT_EQ(fw::LoadString(7000).rfind("FTP Quorbit\xAE Notify Add-On von ", 0), 0u);
  // Ids are 16-bit: ids that equal an existing one modulo 2^16 or 2^32 must not alias it.
  for (unsigned long long id : {6513ull, 0ull, 0x10000ull + 6505, 0x100000000ull + 6505, ~0ull}) {
    std::string text = "stale";
    EXPECT_FALSE(fw::LoadString(id, text)) << id;
    EXPECT_EQ(text, "") << id;
  }
#if defined(_WIN32)
  // Every id agrees with LoadStringA, found or not, and gives the same bytes where the ANSI
  // code page is Windows-1252 (LoadStringA converts to it, the framework always to 1252).
  int found = 0;
  for (unsigned id = 0; id <= 0xFFFF; ++id) {
    char buffer[4096];
    const int length = LoadStringA(GetModuleHandleA(nullptr), id, buffer, sizeof buffer);
    std::string text;
    ASSERT_EQ(fw::LoadString(id, text), length > 0) << "id " << id;
    if (length > 0 && GetACP() == 1252) {
      ASSERT_EQ(text, std::string(buffer, length)) << "id " << id;
    }
    found += length > 0;
  }
  EXPECT_GT(found, 20);
#endif
}

TEST(Format, FollowsPrintfRulesAtAnyLength) {
  EXPECT_EQ(fw::Format("%-*s %s", 10, "STATUS:>", "250 OK"), "STATUS:>   250 OK");
  EXPECT_EQ(fw::Format("%sLog_%d_%d.txt", "dir/", -5, 17), "dir/Log_-5_17.txt");
  for (std::size_t length : {511u, 512u, 5000u}) {  // around the size of the first-try buffer
    const std::string text(length, 'x');
    EXPECT_EQ(fw::Format("<%s>", text.c_str()), "<" + text + ">");
  }
}

TEST(CaseAndTrim, Windows1252LettersFoldToTheirCounterpartsAndOnlyWhiteSpaceIsTrimmed) {
  const std::string upper = "ABCXYZ\xC0\xC4\xD6\xDC\xDE\x8A\x8C\x8E\x9F";
  const std::string lower = "abcxyz\xE0\xE4\xF6\xFC\xFE\x9A\x9C\x9E\xFF";
  EXPECT_EQ(fw::CompareNoCase(upper, lower), 0);
  std::string folded = upper;
  fw::MakeLower(folded);
  EXPECT_EQ(folded, lower);
  for (std::size_t i = 0; i < upper.size(); ++i) EXPECT_EQ(fw::ToUpperAnsi(lower[i]), upper[i]) << i;
  // No partner: multiplication and division signs, sharp s, micro sign, no-break space.
  for (char c : std::string("\327\367\337\265\24009[_`{")) {
    EXPECT_EQ(fw::ToLowerAnsi(c), c);
    EXPECT_EQ(fw::ToUpperAnsi(c), c);
  }
  EXPECT_LT(fw::CompareNoCase("apple", "BANANA"), 0);
  EXPECT_LT(fw::CompareNoCase("main", "MAIN2"), 0);
  EXPECT_LT(fw::CompareNoCase("z", "\xE4"), 0);  // bytes above 0x7F sort after ASCII

  EXPECT_EQ(fw::Trim(" \t\r\n\v\fsmtp.example.org  mail \r\n"), "smtp.example.org  mail");
  EXPECT_EQ(fw::Trim(" \t\r\n "), "");
  EXPECT_EQ(fw::Trim("\xA0x\xA0"), "\xA0x\xA0");
}

TEST(DateAndTimeTexts, FollowTheLocaleButTheShortTimeHasNoSeconds) {
  const fw::CalendarTime t{2024, 3, 5, 14, 7, 9, 2};
  EXPECT_NE(fw::FormatShortDate(t), "");
  EXPECT_NE(fw::FormatTimeOfDay(t, true).find("09"), std::string::npos);
  EXPECT_NE(fw::FormatTimeOfDay(t, false).find("07"), std::string::npos);
  EXPECT_EQ(fw::FormatTimeOfDay(t, false).find("09"), std::string::npos);
#if defined(_WIN32)
  // Fields outside the system's range give empty texts, also where 16 bits would wrap.
  fw::CalendarTime wraps = t, badMonth = t, badHour = t;
  wraps.year += 65536;
  badMonth.month = 13;
  badHour.hour = -1;
  EXPECT_EQ(fw::FormatShortDate(wraps) + fw::FormatShortDate(badMonth) + fw::FormatTimeOfDay(badHour, true), "");
#else
  qbtest::ScopedEnv env("LC_TIME", "de_DE.UTF-8");
  for (const char* c : {"C", "POSIX", "C.UTF-8"}) {
    env.Set("LC_ALL", c);  // overrides LC_TIME
    EXPECT_EQ(fw::FormatShortDate(t) + " " + fw::FormatTimeOfDay(t, true) + " " + fw::FormatTimeOfDay(t, false),
              "2024-03-05 14:07:09 14:07")
        << c;
  }
  env.Set("LC_ALL", nullptr);
  env.Set("LC_TIME", "xx_NOWHERE.UTF-8");  // a locale that cannot be loaded means C
  EXPECT_EQ(fw::FormatShortDate(t), "2024-03-05");
#endif
}

}  // namespace
