// The portable rules of dialog data exchange: whole numbers as the integer fields read them,
// and the dialog-initialisation data as the resource compiler writes it.
#include <gtest/gtest.h>

#include <climits>

#include "framework/app.h"
#include "framework/data_exchange.h"

namespace {

TEST(ParseIntegerText, TakesAWholeDecimalNumberWithinIntAndNothingElse) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  };
  for (const Case& c : {Case{"25", true, 25}, Case{" 65535\t", true, 65535}, Case{"+7", true, 7}, Case{"-0", true, 0},
                        Case{"007", true, 7}, Case{"2147483647", true, INT_MAX}, Case{"-2147483648", true, INT_MIN},
                        Case{"2147483648", false, 0}, Case{"", false, 0}, Case{" ", false, 0}, Case{"-", false, 0},
                        Case{"25x", false, 0}, Case{"2 5", false, 0}, Case{"0x19", false, 0}, Case{"1e3", false, 0},
                        Case{"99999999999999999999", false, 0}}) {
    int value = -42;
    EXPECT_EQ(fw::ParseIntegerText(c.text, value), c.ok) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(ParseDialogInit, ReadsEntriesUpToTheClosingZeroAndStopsAtOneThatRunsPastTheEnd) {
  using namespace std::string_literals;
  const std::string two =
      "\x5e\x1b\x03\x04\x06\0\0\0Immer\0"s
      "\x5e\x1b\x03\x04\x04\0\0\0\xc4nd\0"s
      "\0\0"s;
  const std::vector<fw::DialogInitEntry> entries = fw::ParseDialogInit(two);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].controlId, 7006);
  EXPECT_EQ(entries[0].message, fw::kDlgInitComboAddString);
  EXPECT_EQ(entries[0].data + "|" + entries[1].data, "Immer|\xc4nd");
  // A count larger than what follows ends the list there.
  EXPECT_EQ(fw::ParseDialogInit("\x5e\x1b\x03\x04\x09\0\0\0Immer\0"s).size(), 0u);
  EXPECT_EQ(fw::ParseDialogInit(two.substr(0, 3)).size(), 0u);
}

}  // namespace
