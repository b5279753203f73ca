// The body's transparency filter: line ends, dot-stuffing and the line-length limit.
#include "mail/BodyFilter.h"

void CBodyFilter::Filter(std::string_view input, std::string& output) {
  output.reserve(output.size() + input.size() + input.size() / 16 + 8);
  for (char c : input) {
    if (c == '\n') {
      // The LF of a CR LF whose CR already went out as a line end.
      if (!m_bAfterCr) output += "\r\n";
      m_bAfterCr = false;
      m_nLineLength = 0;
      continue;
    }
    if (c == '\r') {
      output += "\r\n";
      m_bAfterCr = true;
      m_nLineLength = 0;
      continue;
    }
    m_bAfterCr = false;
    if (m_nLineLength == kMaxLineLength) {
      output += "\r\n";
      m_nLineLength = 0;
    }
    if (m_nLineLength == 0 && c == '.') output += '.';
    output += c;
    ++m_nLineLength;
  }
}
