// The mail job's pure parts: reply lines, the EHLO capabilities, the login exchange, the
// recipient list, the wrapping tick interval, the Message-ID numbers, the Date line in several
// zones and whatever the locale, the Subject field, and the body's transparency filter.
// Replies and the lines of an EHLO reply are read in the conversation cases, journal lines in
// message composition; mail readers decode the Subject end to end.
#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "mail/NotifySmtpClient.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpCapabilities.h"
#include "mail/SmtpReply.h"
#include "mail/SubjectHeader.h"
#include "mail_test_support.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

TEST(ExtractLine, SplitsAtLineFeedsAndLeavesAnUnendedRest) {
  const std::tuple<std::string, Lines, std::string> cases[] = {
      // bytes, lines taken, rest
      {"abc\r\n", {"abc"}, ""},           {"a\r\nb\nc", {"a", "b"}, "c"}, {"\r\n\n", {"", ""}, ""},
      {"ab\rcd\n", {"ab", "cd"}, ""},      // a lone CR before a later LF splits the line
      {"ab\rc\r\n", {"ab\rc"}, ""},        // the last CR before the LF ends it
      {"25\0x\r\nnext"s, {"25"}, "next"},  // the text stops at a zero byte, the line is consumed
      {"partial\r", {}, "partial\r"},
  };
  for (const auto& [bytes, expected, rest] : cases) {
    const char* data = bytes.data();
    int length = static_cast<int>(bytes.size());
    Lines lines;
    for (std::string line; smtp::ExtractLine(data, length, line);) lines.push_back(line);
    EXPECT_EQ(std::pair(lines, std::string(data, static_cast<std::size_t>(length))), std::pair(expected, rest))
        << bytes;
  }
}

// "STARTTLS SIZE limit AUTH mechanisms -> chosen", with "-" for what the server did not offer.
std::string Summary(const smtp::Capabilities& c) {
  std::string text = std::string(c.bStartTls ? "STARTTLS" : "-") + (c.bSize ? " SIZE " : " - ") +
                     std::to_string(c.sizeLimit) + " AUTH";
  for (const std::string& name : c.authMechanisms) text += " " + name;
  const smtp::AuthMechanism chosen = smtp::ChooseAuthMechanism(c);
  return text + " -> " +
         (chosen == smtp::AuthMechanism::Plain   ? "PLAIN"
          : chosen == smtp::AuthMechanism::Login ? "LOGIN"
                                                 : "none");
}

TEST(EhloCapabilities, StartTlsMechanismsInBothFormsAndTheSizeLimit) {
  const std::pair<Lines, std::string> cases[] = {
      {{"250-mail.example.org", "250-STARTTLS", "250-AUTH PLAIN LOGIN", "250 SIZE 10240000"},
       "STARTTLS SIZE 10240000 AUTH PLAIN LOGIN -> PLAIN"},
      // Keywords in any case, the old "AUTH=" form, a mechanism named twice, SIZE without a limit.
      {{"250-x", "250-auth=login", "250-Auth plain LOGIN", "250-starttls", "250 size"},
       "STARTTLS SIZE 0 AUTH LOGIN PLAIN -> PLAIN"},
      // The first line names the server; unknown keywords, short lines and odd names go.
      {{"250 STARTTLS"}, "- - 0 AUTH -> none"},
      {{"250-x", "250-STARTTLSX", "25", "250-AUTH PL@IN " + std::string(30, 'A'), "250 SIZE 99999999999999999999999"},
       "- SIZE 18446744073709551615 AUTH -> none"},
      {{"250-x", "250 AUTH LOGIN CRAM-MD5 PLAIN"}, "- - 0 AUTH LOGIN CRAM-MD5 PLAIN -> PLAIN"},
      {{"250-x", "250 AUTH LOGIN"}, "- - 0 AUTH LOGIN -> LOGIN"},
      {{"250-x", "250 AUTH CRAM-MD5"}, "- - 0 AUTH CRAM-MD5 -> none"},
  };
  for (const auto& [reply, summary] : cases) EXPECT_EQ(Summary(smtp::ParseEhloReply(reply)), summary) << reply.back();
}

// The lines an exchange sends for `codes`, and how it ends ("+" continue, "ok", "no").
std::string Exchange(smtp::AuthMechanism mechanism, std::initializer_list<int> codes) {
  smtp::CAuthExchange exchange(mechanism, "anna", "geheim");
  std::string wire = exchange.Begin();
  for (int code : codes) {
    std::string line;
    const auto outcome = exchange.OnReply(code, line);
    wire += line;
    if (outcome != smtp::CAuthExchange::Outcome::Continue) {
      return wire + (outcome == smtp::CAuthExchange::Outcome::Accepted ? "ok" : "no");
    }
  }
  return wire + "+";
}

TEST(AuthExchange, PlainSendsAllAtOnceLoginAnswersTwoPromptsAndAnythingElseEndsIt) {
  using smtp::AuthMechanism;
  EXPECT_EQ(Exchange(AuthMechanism::Plain, {235}), "AUTH PLAIN AGFubmEAZ2VoZWlt\r\nok");
  EXPECT_EQ(Exchange(AuthMechanism::Plain, {535}), "AUTH PLAIN AGFubmEAZ2VoZWlt\r\nno");
  // A prompt nothing answers is cancelled; the exchange then fails whatever comes.
  EXPECT_EQ(Exchange(AuthMechanism::Plain, {334, 235}), "AUTH PLAIN AGFubmEAZ2VoZWlt\r\n*\r\nno");
  EXPECT_EQ(Exchange(AuthMechanism::Login, {334, 334, 235}), "AUTH LOGIN\r\nYW5uYQ==\r\nZ2VoZWlt\r\nok");
  EXPECT_EQ(Exchange(AuthMechanism::Login, {334, 535}), "AUTH LOGIN\r\nYW5uYQ==\r\nno");
  EXPECT_EQ(Exchange(AuthMechanism::Login, {334, 334, 334, 501}), "AUTH LOGIN\r\nYW5uYQ==\r\nZ2VoZWlt\r\n*\r\nno");
  EXPECT_EQ(Exchange(AuthMechanism::Login, {235}), "AUTH LOGIN\r\nok") << "a server may waive the prompts";
}

TEST(AuthExchange, RedactMasksThePasswordAndWhatCarriedIt) {
  smtp::CAuthExchange plain(smtp::AuthMechanism::Plain, "anna", "geheim");
  EXPECT_EQ(plain.Redact("535 bad AGFubmEAZ2VoZWlt for anna (geheim)"), "535 bad ******** for anna (********)");
  smtp::CAuthExchange login(smtp::AuthMechanism::Login, "anna", "geheim");
  EXPECT_EQ(login.Redact("501 cannot decode Z2VoZWlt; YW5uYQ== is fine"),
            "501 cannot decode ********; YW5uYQ== is fine");
}

TEST(SplitRecipients, SeparatorsInAnyMixKeepOrderAndDropEmptyPieces) {
  EXPECT_EQ(CNotifySmtpClient::SplitRecipients("a@x.org, b@x.org;;c@x.org "), (Lines{"a@x.org", "b@x.org", "c@x.org"}));
  EXPECT_EQ(CNotifySmtpClient::SplitRecipients("\ta@x.org\t"), Lines{"a@x.org"}) << "a tab is trimmed";
  EXPECT_EQ(CNotifySmtpClient::SplitRecipients("a\tb"), Lines{"a\tb"}) << "a tab separates nothing";
  EXPECT_TRUE(CNotifySmtpClient::SplitRecipients(" ;,, ").empty());
}

TEST(HasTickIntervalPassed, CountsFromTheEarlierTickAcrossTheWrap) {
  const std::tuple<std::uint32_t, std::uint32_t, std::int32_t, bool> cases[] = {
      // now, then, interval, passed
      {121001, 1000, 120001, true},
      {121000, 1000, 120001, false},
      {120064, 4294967040u, 120001, true},   // wrapped: 120320 ms
      {100000, 4294967040u, 120001, false},  // wrapped: 100256 ms
      {4990, 5000, 120001, false},           // `then` read after `now`
      {5000, 5000, 0, true},
      {0x10000000u + 10, 10, 120001, true},  // long intervals, up to almost 2^32 ms, still count
      {0xFFFFFFF0u, 1, 120001, true},
  };
  for (const auto& [now, then, interval, passed] : cases) {
    EXPECT_EQ(CNotifySmtpClient::HasTickIntervalPassed(now, then, interval), passed) << now << " " << then;
  }
}

TEST(NextMessageNumber, FollowsTheTickButNeverRepeatsInTheProcessAlsoAcrossThreads) {
  const std::uint32_t base = CNotifySmtpClient::NextMessageNumber(1000) + 5000;
  EXPECT_EQ(CNotifySmtpClient::NextMessageNumber(base), base);
  EXPECT_EQ(CNotifySmtpClient::NextMessageNumber(base), base + 1) << "the same tick";
  EXPECT_EQ(CNotifySmtpClient::NextMessageNumber(base - 100), base + 2) << "an earlier tick";
  for (std::uint32_t tick = base, i = 0; i < 3; ++i) {
    tick += 0x70000000u;  // the third step wraps the tick count around
    EXPECT_EQ(CNotifySmtpClient::NextMessageNumber(tick), tick);
  }

  std::vector<std::uint32_t> numbers(4 * 500);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&numbers, t] {
      for (std::size_t i = 0; i < 500; ++i) numbers[t * 500 + i] = CNotifySmtpClient::NextMessageNumber(7);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::uint32_t>(numbers.begin(), numbers.end()).size(), numbers.size());
}

TEST(SubjectField, PlainWhenItFitsFoldedAtBlanksOrEncodedWordsWithinTheLineLimits) {
  const std::string x69(69, 'x'), words = "word " + std::string(70, 'w') + " end";
  const std::pair<std::string, std::string> exact[] = {
      {"Report: 3 Fehler", "Subject: Report: 3 Fehler\r\n"},
      {x69, "Subject: " + x69 + "\r\n"},  // 78 characters: one line
      {words, "Subject: word\r\n " + std::string(70, 'w') + " end\r\n"},
      {x69 + "x", "Subject: =?windows-1252?Q?" + std::string(50, 'x') + "?=\r\n =?windows-1252?Q?" +
                      std::string(20, 'x') + "?=\r\n"},
      {"M\xfcller & Co", "Subject: =?windows-1252?Q?M=FCller_=26_Co?=\r\n"},
      {"\xc4\xd6\xdc", "Subject: =?windows-1252?B?xNbc?=\r\n"},
      {"=?utf-8?Q?x?=", "Subject: =?windows-1252?B?PT91dGYtOD9RP3g/PQ==?=\r\n"},  // not taken for a word
  };
  for (const auto& [subject, field] : exact) EXPECT_EQ(mailheader::FormatSubjectField(subject), field);

  std::string german;
  for (int i = 0; i < 200; ++i) german += "\334bersicht \374ber " + std::to_string(i) + " ";
  for (const std::string& subject : {std::string(990, 'a'), (words + ' ') + std::string(1500, ' ') + 'b', german}) {
    const std::string field = mailheader::FormatSubjectField(subject);
    const std::vector<std::string> lines = mailtest::SplitLines(field);
    for (const std::string& line : lines) {
      EXPECT_LE(line.size(), mailheader::kMaxLineLength) << line;
      const std::size_t word = line.find("=?");
      if (word != std::string::npos) {
        EXPECT_LE(line.size() - word, mailheader::kMaxEncodedWordLength) << line;
      }
      EXPECT_LT(line.find_first_not_of(' '), line.size()) << "a line of blanks only";
    }
    EXPECT_EQ(field.substr(field.size() - 2), "\r\n");
  }
}

#if defined(_WIN32)
constexpr bool kPosixZones = false;
const auto ApplyZone = _tzset;
#else
constexpr bool kPosixZones = true;
const auto ApplyZone = tzset;
#endif

TEST(FormatDateLine, LocalTimeWithTheZoneOffsetAndEnglishNamesWhateverTheLocale) {
  const std::tuple<const char*, std::int64_t, const char*> cases[] = {
      // TZ, time, Date line
      {"UTC0", 1700000000, "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\n"},
      {"CET-1", 1796441700, "Date: Sat, 5 Dec 2026 04:35:00 +0100\r\n"},
      {"EST5", 1721901600, "Date: Thu, 25 Jul 2024 05:00:00 -0500\r\n"},
      {"IST-5:30", 1700000000, "Date: Wed, 15 Nov 2023 03:43:20 +0530\r\n"},
      {"NST3:30", 1700000000, "Date: Tue, 14 Nov 2023 18:43:20 -0330\r\n"},
      {kPosixZones ? "CET-1CEST,M3.5.0,M10.5.0/3" : "", 1721901600, "Date: Thu, 25 Jul 2024 12:00:00 +0200\r\n"},
  };
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "German_Germany.1252"}) {
    if (std::setlocale(LC_ALL, name)) break;
  }
  for (const auto& [tz, time, line] : cases) {
    if (*tz == '\0') continue;
    qbtest::ScopedEnv zone("TZ", tz);
    ApplyZone();
    EXPECT_EQ(CNotifySmtpClient::FormatDateLine(time), line) << tz << " in " << std::setlocale(LC_ALL, nullptr);
  }
  std::setlocale(LC_ALL, saved.c_str());
  ApplyZone();
}

std::string Filtered(const std::string& input, std::size_t pieceSize) {
  CBodyFilter filter;
  std::string out;
  for (std::size_t i = 0; i < input.size(); i += pieceSize) filter.Filter(input.substr(i, pieceSize), out);
  return out;
}

TEST(BodyFilter, LineEndsDotsAndLongLinesWhereverThePiecesAreSplit) {
  const std::size_t limit = CBodyFilter::kMaxLineLength;
  const std::string x(limit, 'x');
  const std::pair<std::string, std::string> cases[] = {
      // input, wire
      {"a\r\nb\nc\rd\r\r\n\n", "a\r\nb\r\nc\r\nd\r\n\r\n\r\n"},
      {".\r\nQUIT\r\n", "..\r\nQUIT\r\n"},
      {"a.b\r\n.x\n..\r.", "a.b\r\n..x\r\n...\r\n.."},
      {"\x80\xff plain", "\x80\xff plain"},
      {x + "\r\n", x + "\r\n"},
      {x + x + "xxxx", x + "\r\n" + x + "\r\nxxxx"},
      // After a break a new line starts: its leading dot is doubled and does not count.
      {x + "." + std::string(limit - 1, 'y') + "z", x + "\r\n.." + std::string(limit - 1, 'y') + "\r\nz"},
  };
  for (const auto& [input, wire] : cases) {
    for (std::size_t piece : {input.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}, limit - 1}) {
      EXPECT_EQ(Filtered(input, piece), wire) << input.substr(0, 20) << " in pieces of " << piece;
    }
  }
}

}  // namespace
