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
  std::vector<std::string> seen;  // quoted texts marked with a leading '='
  for (const auto& token : tokens) seen.push_back((token.quoted ? "=" : "") + token.text);
  EXPECT_EQ(seen, (std::vector<std::string>{"Cmd", "=a \"q\" b\\c", "=\t\xe4\x80\r\n", "null", "=null", "=", "word"}));
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

  std::vector<std::pair<std::string, std::string>> errors = {
      {"ConnectionEnd 1 4294967296\n", "s.txt:1: ConnectionEnd argument 2: bad result code"},
      {"SessionDestroy 18446744073709551616\n", "bad session handle"},
      {"SessionDestroy -1\n", "bad session handle"},
      {"SessionDestroy \"1\"\n", "bad session handle"},
      {"LogStatus 1 x -2147483649\n", "bad error flag"},
      {"Name 65537\n", "bad buffer size"},
      {"WaitUnload -1\n", "bad seconds"},
      {"LogCommand 1 \"a\\x00b\"\n", "zero byte"},
  };
  if (maxHandle == 0xFFFFFFFFu) errors.emplace_back("SessionDestroy 4294967296\n", "bad session handle");
  for (const auto& [script, error] : errors) EXPECT_NE(ErrorOf(script).find(error), std::string::npos) << script;
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
}

}  // namespace
}  // namespace qbhost
