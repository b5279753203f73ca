// Windows-1252 conversions: characters the code page holds convert both ways, anything else
// (or malformed Unicode) is refused as a whole, never mangled.
#include <gtest/gtest.h>

#include "framework/codepage.h"

namespace {

using namespace std::string_literals;

TEST(Codepage, Windows1252HoldsLatin1AndItsOwnPunctuationAndNothingElse) {
  struct Case {
    std::string utf8;
    bool ok;
    std::string ansi;
  };
  const Case cases[] = {
      {"", true, ""},
      {"M\xc3\xbcller \xe2\x82\xac 5 \xe2\x80\x93 \xc5\xbd", true, "M\xfcller \x80 5 \x96 \x8e"},
      {"\xc2\x81\xc2\x9d\xc3\xbf\0x"s, true, "\x81\x9d\xff\0x"s},
      {"\xe4\xb8\xad", false, ""},      // U+4E2D
      {"\xc2\x80", false, ""},          // U+0080: byte 0x80 is the euro sign
      {"\xf0\x9f\x98\x80", false, ""},  // beyond U+FFFF
      {"\xc0\xa0", false, ""},          // overlong
      {"\xed\xa0\x80", false, ""},      // a surrogate
      {"\xc3", false, ""},              // cut short
      {"a\x80", false, ""},             // a lone continuation byte
  };
  for (const Case& c : cases) {
    std::string ansi = "stale";
    EXPECT_EQ(fw::Utf8ToWindows1252(c.utf8, ansi), c.ok) << c.utf8;
    EXPECT_EQ(ansi, c.ansi) << c.utf8;
    if (c.ok) {
      EXPECT_EQ(fw::Windows1252ToUtf8(c.ansi), c.utf8);
    }
  }

  std::string ansi;
  EXPECT_TRUE(fw::Utf16ToWindows1252(u"W\u00f6rk \u20ac", ansi));
  EXPECT_EQ(ansi, "W\xf6rk \x80");
  for (const std::u16string& refused : {u"\u4e2d"s, u"\U0001F600"s, u"a\xd800"s, u"\u0080"s}) {
    EXPECT_FALSE(fw::Utf16ToWindows1252(refused, ansi));
    EXPECT_EQ(ansi, "");
  }
}

}  // namespace
