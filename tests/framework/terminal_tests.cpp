// The posix backend's terminal and shell: texts converted between Windows-1252 and the
// terminal's character set (characters Windows-1252 cannot hold are refused, never stored
// mangled), and the failures of shell-open. Programs that shell-open starts are checked by the
// dialog tests; the dialog without a terminal, end to end (tests/host).
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include "framework/posix/terminal.h"
#include "framework/shell.h"
#include "framework/wnd.h"
#include "test_support.h"

namespace {

using fw::posix::FromTerminalText;
using fw::posix::ToTerminalText;

TEST(TerminalText, ConvertsWindows1252BothWaysAndRefusesWhatItCannotHold) {
  EXPECT_EQ(ToTerminalText("Gr\xfc\xdf \x80\r\nneu\x01\x81", "UTF-8"), "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac\nneu??");
  EXPECT_EQ(ToTerminalText("\xfc", "ISO-8859-15"), "\xfc");
  struct Case {
    const char *bytes, *charset;
    bool storable;
    const char* text;
  };
  for (const Case& c : {Case{"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac", "UTF-8", true, "Gr\xfc\xdf \x80"},
                        Case{"\xa4", "ISO-8859-15", true, "\x80"},  // the euro sign
                        Case{"\xce\xa9", "UTF-8", false, ""},       // Omega
                        Case{"\xc3", "UTF-8", false, ""},           // cut in the middle
                        Case{"\xfc", "ANSI_X3.4-1968", false, ""}, Case{"a\x1b[A", "UTF-8", false, ""}}) {
    std::string text = "stale";
    EXPECT_EQ(FromTerminalText(c.bytes, c.charset, text), c.storable) << c.bytes;
    if (c.storable) {
      EXPECT_EQ(text, c.text);
    }
  }
}

TEST(TerminalText, TheCharacterSetIsTheEnvironmentsLocale) {
  qbtest::ScopedEnv env("LC_ALL", "C.UTF-8");
  EXPECT_EQ(fw::posix::EnvironmentCharset(), "UTF-8");
  env.Set("LC_ALL", "xx_XX.UTF-8");  // not installed: the name still says UTF-8
  EXPECT_EQ(fw::posix::EnvironmentCharset(), "UTF-8");
  env.Set("LC_ALL", "C");
  EXPECT_EQ(fw::posix::EnvironmentCharset(), "ANSI_X3.4-1968");
}

TEST(ShellExecute, SaysWhyNot) {
  qbtest::TempDir dir;
  qbtest::WriteBytes(dir.File("page.htm"), "<html></html>");
  qbtest::ScopedEnv env("PATH", "/usr/bin:/bin");  // no xdg-open
  EXPECT_EQ(fw::ShellExecute("open", dir.File("missing.htm").c_str(), nullptr, nullptr, fw::kSwShow),
            fw::kShellFileNotFound);
  EXPECT_EQ(fw::ShellExecute("open", "/bin/true", nullptr, dir.File("gone").c_str(), fw::kSwShow),
            fw::kShellPathNotFound);
  EXPECT_EQ(fw::ShellExecute("open", dir.File("page.htm").c_str(), nullptr, nullptr, fw::kSwShow),
            fw::kShellNoAssociation);
}

}  // namespace

#endif
