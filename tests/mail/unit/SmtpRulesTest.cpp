// The job's small rules: splitting the recipient value, the wrapping tick interval, and the
// Date line in several time zones and whatever the locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "mail/NotifySmtpClient.h"

namespace {

using Recipients = std::vector<std::string>;

TEST(SplitRecipients, MixedRepeatedSeparatorsKeepOrderAndDropEmptyPieces) {
  EXPECT_EQ(CNotifySmtpClient::SplitRecipients("a@x.org, b@x.org;;c@x.org "),
            (Recipients{"a@x.org", "b@x.org", "c@x.org"}));
  EXPECT_EQ(CNotifySmtpClient::SplitRecipients("\ta@x.org\t"), Recipients{"a@x.org"}) << "a tab is trimmed";
  EXPECT_EQ(CNotifySmtpClient::SplitRecipients("a\tb"), Recipients{"a\tb"}) << "a tab separates nothing";
  EXPECT_TRUE(CNotifySmtpClient::SplitRecipients(" ;,, ").empty());
  EXPECT_TRUE(CNotifySmtpClient::SplitRecipients("").empty());
}

TEST(HasTickIntervalPassed, CountsFromTheEarlierTickAcrossTheWrap) {
  EXPECT_TRUE(CNotifySmtpClient::HasTickIntervalPassed(121001, 1000, 120001));
  EXPECT_FALSE(CNotifySmtpClient::HasTickIntervalPassed(121000, 1000, 120001));
  EXPECT_TRUE(CNotifySmtpClient::HasTickIntervalPassed(120064, 4294967040u, 120001)) << "wrapped: 120320 ms";
  EXPECT_FALSE(CNotifySmtpClient::HasTickIntervalPassed(100000, 4294967040u, 120001)) << "wrapped: 100256 ms";
  EXPECT_FALSE(CNotifySmtpClient::HasTickIntervalPassed(4990, 5000, 120001)) << "then read after now";
  EXPECT_TRUE(CNotifySmtpClient::HasTickIntervalPassed(5000, 5000, 0));
}

TEST(HasTickIntervalPassed, LongIntervalsFromAnEarlierTickAlwaysExpire) {
  // Elapsed times from 0x0FFFFFFF on, up to almost 2^32 ms, still count as elapsed.
  EXPECT_TRUE(CNotifySmtpClient::HasTickIntervalPassed(0x10000000u + 10, 10, 120001));
  EXPECT_TRUE(CNotifySmtpClient::HasTickIntervalPassed(0xFFFFFFF0u, 1, 120001));
}

// Sets the process's time zone for a scope (posix TZ rules; simple rules also on Windows).
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) m_old = old;
    Set(zone);
  }
  ~ScopedTimeZone() { Set(m_old ? m_old->c_str() : nullptr); }

 private:
  static void Set(const char* zone) {
#if defined(_WIN32)
    _putenv_s("TZ", zone ? zone : "");
    _tzset();
#else
    if (zone) {
      setenv("TZ", zone, 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
#endif
  }
  std::optional<std::string> m_old;
};

struct DateCase {
  const char* zone;
  std::int64_t time;
  const char* expected;
};

TEST(FormatDateLine, PrintsLocalTimeWithTheZoneOffset) {
  const DateCase cases[] = {
      {"UTC0", 1700000000, "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\n"},
      {"CET-1", 1796441700, "Date: Sat, 5 Dec 2026 04:35:00 +0100\r\n"},
      {"EST5", 1721901600, "Date: Thu, 25 Jul 2024 05:00:00 -0500\r\n"},
      {"IST-5:30", 1700000000, "Date: Wed, 15 Nov 2023 03:43:20 +0530\r\n"},
      {"NST3:30", 1700000000, "Date: Tue, 14 Nov 2023 18:43:20 -0330\r\n"},
  };
  for (const DateCase& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(CNotifySmtpClient::FormatDateLine(c.time), c.expected) << c.zone;
  }
}

#if !defined(_WIN32)
TEST(FormatDateLine, DaylightSavingTimeIsPartOfTheOffset) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(CNotifySmtpClient::FormatDateLine(1721901600), "Date: Thu, 25 Jul 2024 12:00:00 +0200\r\n");
  EXPECT_EQ(CNotifySmtpClient::FormatDateLine(1796441700), "Date: Sat, 5 Dec 2026 04:35:00 +0100\r\n");
}
#endif

TEST(FormatDateLine, NamesStayEnglishWhateverTheLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  const char* german = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252", "German"}) {
    if (std::setlocale(LC_ALL, name)) {
      german = name;
      break;
    }
  }
  if (german == nullptr) GTEST_SKIP() << "no German locale on this system";
  ScopedTimeZone zone("UTC0");
  const std::string line = CNotifySmtpClient::FormatDateLine(1796441700);
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(line, "Date: Sat, 5 Dec 2026 03:35:00 +0000\r\n") << german;
}

}  // namespace
