// The body's transparency filter: line ends, dot-stuffing and the line-length limit.
#include "mail/BodyFilter.h"

#include <algorithm>
#include <cstring>

namespace {

// Length of the prefix of [p, p + count) that holds no CR and no LF.
std::size_t PlainRunLength(const char* p, std::size_t count) {
  const void* cr = std::memchr(p, '\r', count);
  if (cr != nullptr) count = static_cast<std::size_t>(static_cast<const char*>(cr) - p);
  const void* lf = std::memchr(p, '\n', count);
  if (lf != nullptr) count = static_cast<std::size_t>(static_cast<const char*>(lf) - p);
  return count;
}

}  // namespace

void CBodyFilter::Filter(std::string_view input, std::string& output) {
  output.reserve(output.size() + input.size() + input.size() / 16 + 8);
  const char* p = input.data();
  const char* const end = p + input.size();
  while (p != end) {
    const char c = *p;
    if (c == '\r' || c == '\n') {
      // The LF of a CR LF whose CR already went out as a line end adds nothing.
      if (c == '\r' || !m_bAfterCr) output.append("\r\n", 2);
      m_bAfterCr = c == '\r';
      m_nLineLength = 0;
      ++p;
      continue;
    }
    m_bAfterCr = false;
    if (m_nLineLength == kMaxLineLength) {
      output.append("\r\n", 2);
      m_nLineLength = 0;
    }
    if (m_nLineLength == 0 && c == '.') output.push_back('.');
    // The bytes up to the next line end go out as they are, as far as the line has room.
    const std::size_t room = std::min(static_cast<std::size_t>(end - p), kMaxLineLength - m_nLineLength);
    const std::size_t run = PlainRunLength(p, room);
    output.append(p, run);
    m_nLineLength += run;
    p += run;
  }
}
