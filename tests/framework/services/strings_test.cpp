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
  EXPECT_EQ(fw::LoadString(6500), "Erfolgreich");
  ASSERT_TRUE(fw::LoadString(7000, text));
  EXPECT_EQ(text.rfind("FTP Quorbit\xAE Notify Add-On von ", 0), 0u) << text;
}

TEST(LoadStringTest, MissingAndOutOfRangeIdsGiveFalseAndAnEmptyText) {
  std::string text = "stale";
  EXPECT_FALSE(fw::LoadString(6513, text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(fw::LoadString(0, text));
  // Ids are 16-bit: ids that equal an existing one modulo 2^16 or 2^32 must not alias it.
  for (unsigned long long id : {0x10000ull + 6505, 0x100000000ull + 6505, ~0ull}) {
    text = "stale";
    EXPECT_FALSE(fw::LoadString(id, text)) << id;
    EXPECT_EQ(text, "") << id;
    EXPECT_EQ(fw::LoadString(id), "") << id;
  }
}

TEST(FormatTest, FollowsPrintfRulesAtAnyLength) {
  EXPECT_EQ(fw::Format("%-*s %s", 10, "STATUS:>", "250 OK"), "STATUS:>   250 OK");
  EXPECT_EQ(fw::Format("%-*s %s", 10, "", "x"), std::string(11, ' ') + "x");
  EXPECT_EQ(fw::Format("%sLog_%d_%d.txt", "dir/", -5, 17), "dir/Log_-5_17.txt");
  EXPECT_EQ(fw::Format("%s", ""), "");
  // Around the size of the internal first-try buffer.
  for (std::size_t length : {510u, 511u, 512u, 513u, 5000u}) {
    const std::string long_text(length, 'x');
    EXPECT_EQ(fw::Format("%s", long_text.c_str()), long_text);
    EXPECT_EQ(fw::Format("<%s>", long_text.c_str()), "<" + long_text + ">");
  }
}

TEST(FormatTest, FormatIdUsesTheStringAsPattern) {
  EXPECT_EQ(fw::FormatId(7100, "ftp.example.org"), "Verbindung: \"ftp.example.org\"");
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

  // Characters without a partner stay themselves: the multiplication and division signs,
  // sharp s, micro sign, digits and punctuation.
  for (char c : std::string("\xD7\xF7\xDF\xB5\xA0"
                            "09[_`{")) {
    EXPECT_EQ(fw::ToLowerAnsi(c), c);
    EXPECT_EQ(fw::ToUpperAnsi(c), c);
  }
  EXPECT_NE(fw::CompareNoCase("\xD7", "\xF7"), 0);
}

TEST(CaseTest, CompareNoCaseOrdersByFoldedUnsignedBytes) {
  EXPECT_LT(fw::CompareNoCase("apple", "BANANA"), 0);
  EXPECT_GT(fw::CompareNoCase("Banana", "apple"), 0);
  EXPECT_LT(fw::CompareNoCase("main", "MAIN2"), 0);
  EXPECT_GT(fw::CompareNoCase("MAIN2", "main"), 0);
  EXPECT_EQ(fw::CompareNoCase("", ""), 0);
  EXPECT_LT(fw::CompareNoCase("z", "\xE4"), 0);  // bytes above 0x7F sort after ASCII
  EXPECT_EQ(fw::CompareNoCase(std::string("a\0b", 3), std::string("A\0B", 3)), 0);
  EXPECT_NE(fw::CompareNoCase(std::string("a\0b", 3), std::string("a\0c", 3)), 0);
}

TEST(TrimTest, RemovesWhiteSpaceFromBothEndsOnly) {
  EXPECT_EQ(fw::Trim(" \t\r\n\v\fsmtp.example.org  mail \r\n"), "smtp.example.org  mail");
  EXPECT_EQ(fw::Trim(" \t\r\n "), "");
  EXPECT_EQ(fw::Trim(""), "");
  EXPECT_EQ(fw::Trim("x"), "x");
  EXPECT_EQ(fw::Trim("\xA0x\xA0"), "\xA0x\xA0");  // no-break space is not white space here
}

}  // namespace
