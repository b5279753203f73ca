// Session script lexer and parser: texts and escapes, numbers at their limits, and errors that
// name file and line. What a parsed script passes to the exports is checked by the runner.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "host/script.h"

namespace qbhost {
namespace {

std::string ErrorOf(std::string_view script) {
  try {
    ParseScript(script, "s.txt");
  } catch (const ParseError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(ScriptLexer, QuotedTextsKeepEveryByteAndBareNullIsNotText) {
  auto tokens = TokenizeLine(R"(Cmd "a \"q\" b\\c" "\t\xe4\x80\r\n" null "null" "" word # "comment")");
  ASSERT_EQ(tokens.size(), 7u);
  EXPECT_EQ(tokens[1].text, "a \"q\" b\\c");
  EXPECT_EQ(tokens[2].text, "\t\xe4\x80\r\n");
  EXPECT_FALSE(tokens[3].quoted);
  EXPECT_TRUE(tokens[4].quoted);
  EXPECT_EQ(tokens[5].text, "");
  EXPECT_TRUE(tokens[5].quoted);
  EXPECT_EQ(tokens[6].text, "word");
  // Raw Windows-1252 bytes in the file pass through too.
  EXPECT_EQ(TokenizeLine("x \"M\xfcller\"")[1].text, "M\xfcller");
}

TEST(ScriptLexer, RejectsMalformedTexts) {
  for (const char* line : {R"(a "open)", R"(a "bad \q")", R"(a "\x4")", R"(a "\xzz")", R"(a "x"y)", R"(a b"c")",
                           R"(a "ends with backslash\)"}) {
    EXPECT_THROW(TokenizeLine(line), ParseError) << line;
  }
}

TEST(ScriptParser, NumbersStopAtTheirTypesLimits) {
  const std::uint64_t maxHandle = std::numeric_limits<std::uintptr_t>::max();
  auto commands = ParseScript("SessionDestroy " + std::to_string(maxHandle) + "\nConnectionEnd 0 4294967295\n", "s");
  EXPECT_EQ(commands[0].args[0].number, maxHandle);
  EXPECT_EQ(commands[1].args[1].number, 4294967295u);

  EXPECT_NE(ErrorOf("ConnectionEnd 1 4294967296\n").find("s.txt:1: ConnectionEnd argument 2: bad result code"),
            std::string::npos);
  EXPECT_NE(ErrorOf("SessionDestroy 18446744073709551616\n").find("bad session handle"), std::string::npos);
  if (maxHandle == 0xFFFFFFFFu) {
    EXPECT_NE(ErrorOf("SessionDestroy 4294967296\n").find("bad session handle"), std::string::npos);
  }
  EXPECT_NE(ErrorOf("SessionDestroy -1\n").find("bad session handle"), std::string::npos);
  EXPECT_NE(ErrorOf("SessionDestroy \"1\"\n").find("bad session handle"), std::string::npos);
  EXPECT_NE(ErrorOf("LogStatus 1 x -2147483649\n").find("bad error flag"), std::string::npos);
  EXPECT_NE(ErrorOf("Name 65537\n").find("bad buffer size"), std::string::npos);
  EXPECT_NE(ErrorOf("WaitUnload -1\n").find("bad seconds"), std::string::npos);
}

TEST(ScriptParser, ErrorsNameFileAndLineAndRejectTheWholeScript) {
  EXPECT_EQ(ErrorOf("SessionCreate 1 a\n\nFrobnicate 1\n"), "s.txt:3: unknown command 'Frobnicate'");
  EXPECT_EQ(ErrorOf("Echo ok\nSessionCreate 1\n"),
            "s.txt:2: SessionCreate takes 2 argument(s), got 1 (usage: SessionCreate <handle> <profile>)");
  EXPECT_EQ(
      ErrorOf("LogStatus 1 a error extra\n"),
      "s.txt:1: LogStatus takes 2 to 3 argument(s), got 4 (usage: LogStatus <handle> <line> [error|ok|<number>])");
  EXPECT_EQ(ErrorOf("Echo a\nLogCommand 1 \"PASS x\n"), "s.txt:2: unterminated quoted text");
  EXPECT_EQ(ErrorOf("\"SessionCreate\" 1 a\n"), "s.txt:1: a line must start with a command name");
  EXPECT_NE(ErrorOf("LogCommand 1 \"a\\x00b\"\n").find("zero byte"), std::string::npos);
}

}  // namespace
}  // namespace qbhost
