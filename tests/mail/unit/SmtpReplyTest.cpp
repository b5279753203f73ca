// Line splitting and reply reading: line ends, zero bytes, continuation lines, three-digit and
// short lines, and data left for the next call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/SmtpReply.h"

namespace {

// All lines ExtractLine takes off `bytes`, and what is left.
std::vector<std::string> Lines(const std::string& bytes, std::string* rest = nullptr) {
  const char* data = bytes.data();
  int length = static_cast<int>(bytes.size());
  std::vector<std::string> lines;
  std::string line;
  while (smtp::ExtractLine(data, length, line)) lines.push_back(line);
  if (rest) rest->assign(data, static_cast<std::size_t>(length));
  return lines;
}

TEST(ExtractLine, SplitsAtLineFeedsAndDropsTheCarriageReturnBeforeThem) {
  std::string rest;
  EXPECT_EQ(Lines("abc\r\n", &rest), std::vector<std::string>{"abc"});
  EXPECT_EQ(rest, "");
  EXPECT_EQ(Lines("abc\n"), std::vector<std::string>{"abc"});
  EXPECT_EQ(Lines("a\r\nb\n", &rest), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Lines("a\r\nb", &rest), std::vector<std::string>{"a"});
  EXPECT_EQ(rest, "b");
  EXPECT_EQ(Lines("\r\n\n"), (std::vector<std::string>{"", ""}));
}

TEST(ExtractLine, LoneCarriageReturnBeforeALaterLineFeedSplitsTheLine) {
  EXPECT_EQ(Lines("ab\rcd\n"), (std::vector<std::string>{"ab", "cd"}));
  // The last CR before the LF ends the line; an earlier one stays in it.
  EXPECT_EQ(Lines("ab\rc\r\n"), std::vector<std::string>{"ab\rc"});
}

TEST(ExtractLine, TextStopsAtAZeroByteButTheWholeLineIsConsumed) {
  std::string rest;
  EXPECT_EQ(Lines(std::string("25\0x\r\nnext", 10), &rest), std::vector<std::string>{"25"});
  EXPECT_EQ(rest, "next");
}

TEST(ExtractLine, WithoutLineFeedNothingChanges) {
  const std::string bytes = "partial\r";
  const char* data = bytes.data();
  int length = static_cast<int>(bytes.size());
  std::string line = "untouched";
  EXPECT_FALSE(smtp::ExtractLine(data, length, line));
  EXPECT_EQ(data, bytes.data());
  EXPECT_EQ(length, 8);
  int zero = 0;
  EXPECT_FALSE(smtp::ExtractLine(data, zero, line));
}

struct ReadResult {
  bool consumed;
  bool complete;
  std::string reply;
  std::string rest;
};

ReadResult Read(const std::string& bytes, std::string reply = "previous") {
  const char* data = bytes.data();
  int length = static_cast<int>(bytes.size());
  const smtp::ReplyRead read = smtp::ReadReply(data, length, reply);
  return {read.consumedLine, read.complete, reply, std::string(data, static_cast<std::size_t>(length))};
}

TEST(ReadReply, MultiLineReplyCompletesAtItsFinalLine) {
  ReadResult r = Read("250-first\r\n250-second\r\n250 last\r\n354 next\r\n");
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.reply, "250 last");
  EXPECT_EQ(r.rest, "354 next\r\n");

  r = Read("250-first\r\n250-second\r\n");
  EXPECT_TRUE(r.consumed);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.reply, "") << "continuation lines empty the reply";
  EXPECT_EQ(r.rest, "");
}

TEST(ReadReply, ThreeDigitLineIsCompleteAndShorterLinesAreDropped) {
  ReadResult r = Read("250\r\n");
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.reply, "250");

  r = Read("25x\r\n220 hi\r\n");
  EXPECT_TRUE(r.consumed);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.reply, "previous");
  EXPECT_EQ(r.rest, "220 hi\r\n");

  r = Read("22\r\n");
  EXPECT_TRUE(r.consumed);
  EXPECT_FALSE(r.complete);
}

TEST(ReadReply, IncompleteLineIsLeftForTheNextCall) {
  const ReadResult r = Read("220 rea");
  EXPECT_FALSE(r.consumed);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.rest, "220 rea");
}

TEST(ReplyCode, ReadsTheLeadingDigits) {
  EXPECT_EQ(smtp::ReplyCode("354 go"), 354);
  EXPECT_EQ(smtp::ReplyCode("250"), 250);
  EXPECT_EQ(smtp::ReplyCode("abc"), 0);
  EXPECT_EQ(smtp::ReplyCode(""), 0);
  EXPECT_GT(smtp::ReplyCode("99999999999999999999 x"), 399) << "a huge number stays out of range";
  EXPECT_TRUE(smtp::IsPositiveReply(200));
  EXPECT_TRUE(smtp::IsPositiveReply(399));
  EXPECT_FALSE(smtp::IsPositiveReply(199));
  EXPECT_FALSE(smtp::IsPositiveReply(400));
}

}  // namespace
