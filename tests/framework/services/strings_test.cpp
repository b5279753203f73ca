// The string table, printf-style formatting and the Windows-1252 case and trimming rules.
#include <gtest/gtest.h>

#include <string>

#include "framework/strings.h"

namespace {

TEST(LoadStringTest, GivesTheWindows1252BytesOfExistingStrings) {
  std::string text;
  ASSERT_TRUE(fw::LoadString(6505, text));
  EXPECT_EQ(text,
            "Fehler beim \xD6"
            "ffnen der Datei");
  ASSERT_TRUE(fw::LoadString(7000, text));
  EXPECT_EQ(text.rfind("FTP Quorbit\xAE Notify Add-On von ", 0), 0u) << text;
}

TEST(LoadStringTest, MissingAndOutOfRangeIdsGiveFalseAndAnEmptyText) {
  // Ids are 16-bit: ids that equal an existing one modulo 2^16 or 2^32 must not alias it.
  for (unsigned long long id : {6513ull, 0ull, 0x10000ull + 6505, 0x100000000ull + 6505, ~0ull}) {
    std::string text = "stale";
    EXPECT_FALSE(fw::LoadString(id, text)) << id;
    EXPECT_EQ(text, "") << id;
  }
}

TEST(FormatTest, FollowsPrintfRulesAtAnyLength) {
  EXPECT_EQ(fw::Format("%-*s %s", 10, "STATUS:>", "250 OK"), "STATUS:>   250 OK");
  EXPECT_EQ(fw::Format("%sLog_%d_%d.txt", "dir/", -5, 17), "dir/Log_-5_17.txt");
  for (std::size_t length : {511u, 512u, 5000u}) {  // around the size of the first-try buffer
    const std::string text(length, 'x');
    EXPECT_EQ(fw::Format("<%s>", text.c_str()), "<" + text + ">");
  }
  EXPECT_EQ(fw::FormatId(7104, "a.txt", "b.txt"), "Umbenennen: \"a.txt\" --> \"b.txt\"");
  EXPECT_EQ(fw::FormatId(6513, "ignored"), "");
}

TEST(CaseTest, Windows1252LettersFoldToTheirCounterparts) {
  const std::string upper = "ABCXYZ\xC0\xC4\xD6\xDC\xDE\x8A\x8C\x8E\x9F";
  const std::string lower = "abcxyz\xE0\xE4\xF6\xFC\xFE\x9A\x9C\x9E\xFF";
  EXPECT_EQ(fw::CompareNoCase(upper, lower), 0);
  std::string folded = upper;
  fw::MakeLower(folded);
  EXPECT_EQ(folded, lower);
  for (std::size_t i = 0; i < upper.size(); ++i) EXPECT_EQ(fw::ToUpperAnsi(lower[i]), upper[i]) << i;

  // No partner: multiplication and division signs, sharp s, micro sign, no-break space.
  for (char c : std::string("\xD7\xF7\xDF\xB5\xA0"
                            "09[_`{")) {
    EXPECT_EQ(fw::ToLowerAnsi(c), c);
    EXPECT_EQ(fw::ToUpperAnsi(c), c);
  }
  EXPECT_LT(fw::CompareNoCase("apple", "BANANA"), 0);
  EXPECT_LT(fw::CompareNoCase("main", "MAIN2"), 0);
  EXPECT_GT(fw::CompareNoCase("MAIN2", "main"), 0);
  EXPECT_LT(fw::CompareNoCase("z", "\xE4"), 0);  // bytes above 0x7F sort after ASCII
}

TEST(TrimTest, RemovesWhiteSpaceFromBothEndsOnly) {
  EXPECT_EQ(fw::Trim(" \t\r\n\v\fsmtp.example.org  mail \r\n"), "smtp.example.org  mail");
  EXPECT_EQ(fw::Trim(" \t\r\n "), "");
  EXPECT_EQ(fw::Trim("\xA0x\xA0"), "\xA0x\xA0");
}

}  // namespace
