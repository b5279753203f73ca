// Splitting received bytes into lines and reading SMTP replies from them: pure functions over
// a byte range, used by the socket layer and the conversation and reachable by fuzzers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace smtp {

// Takes one line off the front of [data, data + length). A line ends at the first LF; when a
// CR precedes that LF the line ends at the last such CR (so "ab\rcd\n" gives "ab", then "cd").
// The text also stops at an earlier zero byte. On success advances data, reduces length and
// returns true; without a LF in the range returns false and changes nothing.
bool ExtractLine(const char*& data, int& length, std::string& line);

struct ReplyRead {
  bool consumedLine = false;  // at least one line was taken off the data
  bool complete = false;      // `reply` holds the final line of a complete reply
};

// How much of a reply `lines` keeps: a reply of more lines, or longer ones, is cut.
inline constexpr std::size_t kMaxKeptReplyLines = 64;
inline constexpr std::size_t kMaxKeptLineLength = 512;

// Takes lines off the front of the data until the final line of a reply: a line whose fourth
// character is a blank, or a line of exactly three digits. Continuation lines empty `reply`.
// A shorter line is dropped and ends the call without a reply; the rest stays in the data.
// When `lines` is given, every line taken is appended to it (within the bounds above), so that
// across calls it holds the whole reply; the caller empties it once a reply is complete.
ReplyRead ReadReply(const char*& data, int& length, std::string& reply, std::vector<std::string>* lines = nullptr);

// The number at the start of a reply line (its leading digits; 0 when there are none).
int ReplyCode(const std::string& reply);

// 200 to 399.
inline bool IsPositiveReply(int code) {
  return code >= 200 && code <= 399;
}

}  // namespace smtp
