// Fuzz target for the SMTP reply reader. The input is received in pieces of sizes taken from
// the input, each appended to what is left of the last one, and read reply by reply. Every
// line taken and every reply is checked, and the replies must not depend on how the bytes
// were split.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mail/SmtpReply.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

bool HasLineFeed(const char* data, std::size_t length) {
  return std::memchr(data, '\n', length) != nullptr;
}

// What atoi reads from the front of a line, saturated far above any reply code; the reader's
// code must agree up to five digits and stay outside every reply range beyond.
void CheckReplyCode(const std::string& line) {
  std::int64_t expected = 0;
  for (std::size_t i = 0; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    expected = std::min<std::int64_t>(expected * 10 + (line[i] - '0'), std::int64_t{1} << 40);
  }
  const int code = smtp::ReplyCode(line);
  FUZZ_CHECK(expected < 100000 ? code == expected : code >= 100000);
  FUZZ_CHECK(smtp::IsPositiveReply(code) == (expected >= 200 && expected <= 399));
}

// Takes every line off the stream with ExtractLine and checks each take.
void CheckLineSplitting(std::string_view stream) {
  const char* data = stream.data();
  int length = static_cast<int>(stream.size());
  for (std::string line;;) {
    const char* const before = data;
    const int lengthBefore = length;
    const bool hasLineFeed = HasLineFeed(data, static_cast<std::size_t>(length));
    if (!smtp::ExtractLine(data, length, line)) {
      FUZZ_CHECK(!hasLineFeed && data == before && length == lengthBefore);
      return;
    }
    const auto taken = static_cast<std::size_t>(data - before);
    FUZZ_CHECK(hasLineFeed && data > before && length == lengthBefore - static_cast<int>(taken));
    // One line per take: the bytes taken end with its line end and hold no earlier LF.
    FUZZ_CHECK(before[taken - 1] == '\n' || before[taken - 1] == '\r');
    FUZZ_CHECK(!HasLineFeed(before, taken - 1));
    if (before[taken - 1] == '\r') {
      // A CR without its LF ends the line only when no other CR comes before the next LF.
      const auto* lineFeed = static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(length)));
      FUZZ_CHECK(lineFeed != nullptr);
      FUZZ_CHECK(std::memchr(data, '\r', static_cast<std::size_t>(lineFeed - data)) == nullptr);
    }
    // The text is the front of the bytes taken, up to the line end or an earlier zero byte.
    FUZZ_CHECK(line.size() < taken && std::memcmp(line.data(), before, line.size()) == 0);
    const char stop = before[line.size()];
    FUZZ_CHECK(stop == '\0' || ((stop == '\r' || stop == '\n') && line.size() + 2 >= taken));
    FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\0') == std::string::npos);
    CheckReplyCode(line);
  }
}

// Reads replies off the front of `buffer` until no whole line is left, and checks each read.
void ReadReplies(std::string& buffer, std::string& reply, std::vector<std::string>& replies) {
  const char* data = buffer.data();
  int length = static_cast<int>(buffer.size());
  for (;;) {
    const char* const start = data;
    const int offered = length;
    const smtp::ReplyRead read = smtp::ReadReply(data, length, reply);
    FUZZ_CHECK(length >= 0 && length <= offered && data == start + (offered - length));
    FUZZ_CHECK(read.consumedLine == (data != start) && (!read.complete || read.consumedLine));
    if (read.complete) {
      // A final line: three digits, or three characters and a blank.
      FUZZ_CHECK(reply.size() > 3 ? reply[3] == ' '
                                  : (reply.size() == 3 && reply.find_first_not_of("0123456789") == std::string::npos));
      FUZZ_CHECK(reply.find('\n') == std::string::npos && reply.find('\0') == std::string::npos);
      CheckReplyCode(reply);
      replies.push_back(reply);
    }
    if (!read.consumedLine) break;
  }
  buffer.erase(0, buffer.size() - static_cast<std::size_t>(length));
  FUZZ_CHECK(!HasLineFeed(buffer.data(), buffer.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ChunkPlan plan(data, size);
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  std::string buffer, reply;
  std::vector<std::string> replies;
  for (std::size_t offset = 0; offset < payload.size();) {
    const std::size_t length = plan.NextLength(payload.size() - offset);
    buffer.append(payload.substr(offset, length));
    offset += length;
    ReadReplies(buffer, reply, replies);
  }
  CheckLineSplitting(payload);

  std::string whole(payload), wholeReply;
  std::vector<std::string> wholeReplies;
  ReadReplies(whole, wholeReply, wholeReplies);
  FUZZ_CHECK(wholeReplies == replies && whole == buffer);
  return 0;
}
