// Fuzz target for the SMTP reply reader. The input is received the way the socket receives:
// in pieces of sizes taken from the input, each appended to the buffer, which is offered to
// the conversation's hook until it takes nothing more, under the bound on bytes without a
// line end. Every offer, every line and every reply is checked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mail/NotifySmtpClient.h"
#include "mail/SmtpReply.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr std::size_t kReceiveBlock = CQBNotifySocket::kReceiveBlockSize;
constexpr std::size_t kMaxUnterminated = CNotifySmtpClient::kMaxUnterminatedReply;
// With these header flags a size byte of 0 inserts a full block without a line end (a
// flood), up to kMaxFloods of them: enough to pass the bound. Every receive rescans the
// unterminated tail, so floods are kept rare and after a flood the rest of the input arrives
// in full blocks; with other flags a size byte of 0 is an empty receive and is skipped.
constexpr unsigned kFloodFlags = 0x8;
constexpr int kMaxFloods = static_cast<int>(kMaxUnterminated / kReceiveBlock) + 1;

bool HasLineFeed(const char* data, std::size_t length) {
  return std::memchr(data, '\n', length) != nullptr;
}

// The number that atoi reads from the front of a line (leading digits), saturated far above
// any reply code.
std::int64_t LeadingNumber(std::string_view line) {
  constexpr std::int64_t kCeiling = std::int64_t{1} << 40;
  std::int64_t value = 0;
  for (char c : line) {
    if (c < '0' || c > '9') break;
    value = std::min(value * 10 + (c - '0'), kCeiling);
  }
  return value;
}

void CheckReplyCode(const std::string& line) {
  const std::int64_t expected = LeadingNumber(line);
  const int code = smtp::ReplyCode(line);
  // Numbers beyond five digits need not be exact, only far outside every reply range.
  if (expected < 100000) {
    FUZZ_CHECK(code == expected);
  } else {
    FUZZ_CHECK(code >= 100000);
  }
  FUZZ_CHECK(smtp::IsPositiveReply(code) == (expected >= 200 && expected <= 399));
}

bool IsThreeDigits(const std::string& line) {
  return line.size() == 3 && std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Takes every line off the stream with ExtractLine and checks each take.
void CheckLineSplitting(std::string_view stream) {
  const char* data = stream.data();
  int length = static_cast<int>(stream.size());
  std::string line;
  for (;;) {
    const char* const before = data;
    const int lengthBefore = length;
    const bool hasLineFeed = HasLineFeed(data, static_cast<std::size_t>(length));
    if (!smtp::ExtractLine(data, length, line)) {
      FUZZ_CHECK(!hasLineFeed);
      FUZZ_CHECK(data == before && length == lengthBefore);
      return;
    }
    FUZZ_CHECK(hasLineFeed);
    FUZZ_CHECK(data > before && data - before <= lengthBefore);
    const auto taken = static_cast<std::size_t>(data - before);
    FUZZ_CHECK(length == lengthBefore - static_cast<int>(taken));
    // One line per take: the bytes taken end with its line end and hold no earlier LF.
    FUZZ_CHECK(before[taken - 1] == '\n' || before[taken - 1] == '\r');
    FUZZ_CHECK(!HasLineFeed(before, taken - 1));
    if (before[taken - 1] == '\r') {
      // A CR without its LF ends the line only when no other CR comes before the next LF.
      const void* lineFeed = std::memchr(data, '\n', static_cast<std::size_t>(length));
      FUZZ_CHECK(lineFeed != nullptr);
      FUZZ_CHECK(std::memchr(data, '\r', static_cast<std::size_t>(static_cast<const char*>(lineFeed) - data)) ==
                 nullptr);
    }
    // The text is the front of the bytes taken, up to the line end or an earlier zero byte.
    FUZZ_CHECK(line.size() < taken);
    FUZZ_CHECK(std::memcmp(line.data(), before, line.size()) == 0);
    const char stop = before[line.size()];
    FUZZ_CHECK(stop == '\0' || ((stop == '\r' || stop == '\n') && line.size() + 2 >= taken));
    FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\0') == std::string::npos);
    CheckReplyCode(line);
  }
}

// A complete reply's final line.
void CheckFinalLine(const std::string& reply) {
  FUZZ_CHECK(reply.size() >= 3);
  FUZZ_CHECK(reply.find('\n') == std::string::npos && reply.find('\0') == std::string::npos);
  FUZZ_CHECK(IsThreeDigits(reply) || (reply.size() >= 4 && reply[3] == ' '));
  CheckReplyCode(reply);
}

// The receive side of one connection: the socket's buffer and dispatch loop, and the
// conversation's hook with its bound on bytes without a line end.
class ReceiveSide {
 public:
  // One receive of `bytes`, then the offers that follow it.
  void Receive(std::string_view bytes) {
    m_buffer.append(bytes);
    Dispatch();
  }

  bool IsClosed() const { return m_bClosed; }
  const std::vector<std::string>& Replies() const { return m_replies; }
  const std::string& Tail() const { return m_buffer; }

 private:
  void Dispatch() {
    std::size_t offset = 0;
    while (offset < m_buffer.size()) {
      const char* const start = m_buffer.data() + offset;
      const int offered = static_cast<int>(m_buffer.size() - offset);
      const bool hasLineFeed = HasLineFeed(start, static_cast<std::size_t>(offered));
      const char* data = start;
      int length = offered;
      if (!OnReceivedData(data, length)) {
        // Nothing taken: both left alone, and there was no complete line to take.
        FUZZ_CHECK(data == start && length == offered);
        FUZZ_CHECK(!hasLineFeed);
        break;
      }
      // Consumed and remaining add up to what was offered.
      FUZZ_CHECK(length >= 0 && length < offered);
      FUZZ_CHECK(data == start + (offered - length));
      offset += static_cast<std::size_t>(offered - length);
    }
    m_buffer.erase(0, offset);
    // Between receives the tail holds no complete line and stays within the bound.
    FUZZ_CHECK(!HasLineFeed(m_buffer.data(), m_buffer.size()));
    FUZZ_CHECK(m_buffer.size() <= kMaxUnterminated);
  }

  int OnReceivedData(const char*& data, int& length) {
    const char* const start = data;
    const int offered = length;
    const smtp::ReplyRead read = smtp::ReadReply(data, length, m_reply);
    FUZZ_CHECK(length >= 0 && length <= offered);
    FUZZ_CHECK(data == start + (offered - length));
    FUZZ_CHECK(read.consumedLine == (data != start));
    FUZZ_CHECK(!read.complete || read.consumedLine);
    if (read.complete) {
      CheckFinalLine(m_reply);
      m_replies.push_back(m_reply);
    }
    int consumed = read.consumedLine ? 1 : 0;
    if (static_cast<std::size_t>(length) > kMaxUnterminated && !HasLineFeed(data, static_cast<std::size_t>(length))) {
      m_bClosed = true;
      data += length;
      length = 0;
      consumed = 1;
    }
    return consumed;
  }

  std::string m_buffer;  // received, not taken yet
  std::string m_reply;
  std::vector<std::string> m_replies;
  bool m_bClosed = false;
};

// The replies of the whole stream read in one piece, and what is left after them.
std::vector<std::string> ReadInOnePiece(std::string_view stream, std::string& tail) {
  const char* data = stream.data();
  int length = static_cast<int>(stream.size());
  std::string reply;
  std::vector<std::string> replies;
  for (;;) {
    const smtp::ReplyRead read = smtp::ReadReply(data, length, reply);
    if (read.complete) replies.push_back(reply);
    if (!read.consumedLine) break;
  }
  tail.assign(data, static_cast<std::size_t>(length));
  return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ChunkPlan plan(data, size);
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  static const std::string flood(kReceiveBlock, 'x');

  ReceiveSide connection;
  std::string stream;  // every byte received, in order
  const bool floodsAllowed = plan.Flags() == kFloodFlags;
  int floods = 0;
  std::size_t offset = 0;
  while (offset < payload.size() && !connection.IsClosed()) {
    unsigned sizeByte = plan.NextSizeByte();
    if (floods > 0 && sizeByte != 0) sizeByte = 256;
    if (sizeByte == 0) {
      if (floodsAllowed && floods < kMaxFloods) {
        ++floods;
        stream += flood;
        connection.Receive(flood);
      }
      continue;
    }
    const std::size_t length = std::min({std::size_t{sizeByte}, payload.size() - offset, kReceiveBlock});
    const std::string_view piece = payload.substr(offset, length);
    offset += length;
    stream.append(piece);
    connection.Receive(piece);
  }

  CheckLineSplitting(stream);
  // How the bytes were split into receives makes no difference, unless the bound cut the
  // connection short.
  if (!connection.IsClosed()) {
    std::string tail;
    FUZZ_CHECK(ReadInOnePiece(stream, tail) == connection.Replies());
    FUZZ_CHECK(tail == connection.Tail());
  }
  return 0;
}
