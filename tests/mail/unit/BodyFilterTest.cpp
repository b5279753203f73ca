// The body's transparency filter and the bounded line reader: line ends, dot-stuffing and
// the line-length limit, with the state carried across pieces, and lines read in pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mail/BodyFilter.h"
#include "mail/LogLineReader.h"

namespace {

std::string Filtered(const std::string& input) {
  CBodyFilter filter;
  std::string out;
  filter.Filter(input, out);
  return out;
}

// The same input fed in pieces of `pieceSize` bytes.
std::string FilteredInPieces(const std::string& input, std::size_t pieceSize) {
  CBodyFilter filter;
  std::string out;
  for (std::size_t i = 0; i < input.size(); i += pieceSize) filter.Filter(input.substr(i, pieceSize), out);
  return out;
}

TEST(BodyFilter, EveryLineEndGoesOutAsCrLf) {
  EXPECT_EQ(Filtered("a\r\nb\nc\rd"), "a\r\nb\r\nc\r\nd");
  EXPECT_EQ(Filtered("\r\r\n\n"), "\r\n\r\n\r\n");
  EXPECT_EQ(Filtered("\x80\xff plain"), "\x80\xff plain") << "8-bit bytes pass unchanged";
}

TEST(BodyFilter, LinesStartingWithADotGetASecondDot) {
  EXPECT_EQ(Filtered(".\r\nQUIT\r\n"), "..\r\nQUIT\r\n");
  EXPECT_EQ(Filtered("a.b\r\n.x\n..\r."), "a.b\r\n..x\r\n...\r\n..");
}

TEST(BodyFilter, StateCarriesAcrossPieces) {
  const std::string input = "one\r\n.two\r\nthree\r.\n\n.";
  const std::string whole = Filtered(input);
  for (std::size_t piece = 1; piece <= input.size(); ++piece) {
    EXPECT_EQ(FilteredInPieces(input, piece), whole) << "pieces of " << piece;
  }
  // A CR LF split between two pieces is one line end.
  CBodyFilter filter;
  std::string out;
  filter.Filter("a\r", out);
  filter.Filter("\n.b", out);
  EXPECT_EQ(out, "a\r\n..b");
}

TEST(BodyFilter, LongLinesAreBrokenAtTheLimit) {
  const std::size_t limit = CBodyFilter::kMaxLineLength;
  EXPECT_EQ(Filtered(std::string(limit, 'x') + "\r\n"), std::string(limit, 'x') + "\r\n");
  EXPECT_EQ(Filtered(std::string(2 * limit + 4, 'x')),
            std::string(limit, 'x') + "\r\n" + std::string(limit, 'x') + "\r\n" + "xxxx");
  // The piece after a break is a new line: a leading dot is doubled, and does not count.
  EXPECT_EQ(Filtered(std::string(limit, 'x') + "." + std::string(limit - 1, 'y') + "z"),
            std::string(limit, 'x') + "\r\n.." + std::string(limit - 1, 'y') + "\r\nz");
}

// Reads `data` through the reader in pieces, one line per entry (the pieces of a line joined).
std::vector<std::string> ReadLines(const std::string& data, long long skip = 0, std::size_t* largestPiece = nullptr) {
  std::size_t offset = 0;
  const CLogLineReader::ReadFunction read = [&](char* buffer, std::size_t count) {
    const std::size_t n = std::min(count, data.size() - offset);
    std::memcpy(buffer, data.data() + offset, n);
    offset += n;
    return n;
  };
  CLogLineReader reader;
  reader.SkipLines(skip, read);
  std::vector<std::string> lines;
  std::string current;
  std::string_view text;
  bool lineEnds = false;
  while (reader.NextPiece(read, text, lineEnds)) {
    if (largestPiece) *largestPiece = std::max(*largestPiece, text.size());
    current += text;
    if (lineEnds) {
      lines.push_back(current);
      current.clear();
    }
  }
  EXPECT_TRUE(current.empty());
  return lines;
}

TEST(LogLineReader, ReadsLinesWithTheirCrLfOrLfEnds) {
  EXPECT_EQ(ReadLines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ReadLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(ReadLines("x\ry\r\n"), std::vector<std::string>{"x\ry"});
  EXPECT_EQ(ReadLines(std::string("a\x1a"
                                  "b\r\nc\r\n")),
            (std::vector<std::string>{"a\x1a"
                                      "b",
                                      "c"}));
  EXPECT_TRUE(ReadLines("").empty());
}

TEST(LogLineReader, CrLfSplitAcrossBlocksIsOneLineEnd) {
  const std::size_t block = CLogLineReader::kPieceSize;
  const std::string data = std::string(block - 1, 'a') + "\r\nnext\r\n";
  EXPECT_EQ(ReadLines(data), (std::vector<std::string>{std::string(block - 1, 'a'), "next"}));
  const std::string loneCr = std::string(block - 1, 'a') + "\rb\r\n";
  EXPECT_EQ(ReadLines(loneCr), std::vector<std::string>{std::string(block - 1, 'a') + "\rb"});
}

TEST(LogLineReader, HugeLineComesInBoundedPieces) {
  const std::string huge(5 * CLogLineReader::kPieceSize + 7, 'h');
  std::size_t largest = 0;
  EXPECT_EQ(ReadLines(huge + "\r\nend\r\n", 0, &largest), (std::vector<std::string>{huge, "end"}));
  EXPECT_LE(largest, CLogLineReader::kPieceSize);
}

TEST(LogLineReader, SkipsLinesAcrossBlocksAndStopsAtTheEnd) {
  std::string data;
  for (int i = 1; i <= 25; ++i) data += std::string(700, 'x') + std::to_string(i) + "\r\n";
  const std::vector<std::string> last = ReadLines(data, 15);
  ASSERT_EQ(last.size(), 10u);
  EXPECT_EQ(last.front(), std::string(700, 'x') + "16");
  EXPECT_TRUE(ReadLines(data, 40).empty());
}

}  // namespace
