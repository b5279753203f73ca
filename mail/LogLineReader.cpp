// Bounded, piecewise reading of journal lines.
#include "mail/LogLineReader.h"

#include <algorithm>
#include <cstring>

void CLogLineReader::Reset() {
  std::vector<char>().swap(m_buffer);
  m_nPos = 0;
  m_nLength = 0;
  m_bEnd = false;
  m_bPendingCr = false;
  m_bLineStarted = false;
}

bool CLogLineReader::Fill(const ReadFunction& read) {
  if (m_nPos < m_nLength) return true;
  if (m_bEnd) return false;
  if (m_buffer.size() != kPieceSize) m_buffer.resize(kPieceSize);
  m_nPos = 0;
  m_nLength = std::min(read(m_buffer.data(), m_buffer.size()), m_buffer.size());
  if (m_nLength == 0) m_bEnd = true;
  return m_nLength != 0;
}

void CLogLineReader::SkipLines(long long count, const ReadFunction& read) {
  while (count > 0 && Fill(read)) {
    const char* begin = m_buffer.data() + m_nPos;
    const void* lf = std::memchr(begin, '\n', m_nLength - m_nPos);
    if (lf == nullptr) {
      m_nPos = m_nLength;
      continue;
    }
    m_nPos += static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1;
    --count;
  }
  m_bPendingCr = false;
  m_bLineStarted = false;
}

bool CLogLineReader::NextPiece(const ReadFunction& read, std::string_view& text, bool& lineEnds) {
  static constexpr char kCr[] = "\r";
  if (!Fill(read)) {
    // End of the data: finish a line that had no line end.
    if (!m_bPendingCr && !m_bLineStarted) return false;
    text = m_bPendingCr ? std::string_view(kCr, 1) : std::string_view();
    lineEnds = true;
    m_bPendingCr = false;
    m_bLineStarted = false;
    return true;
  }

  const char* begin = m_buffer.data() + m_nPos;
  const std::size_t available = m_nLength - m_nPos;
  if (m_bPendingCr) {
    m_bPendingCr = false;
    if (*begin == '\n') {
      ++m_nPos;
      text = std::string_view();
      lineEnds = true;
      m_bLineStarted = false;
    } else {
      // The CR was part of the line.
      text = std::string_view(kCr, 1);
      lineEnds = false;
      m_bLineStarted = true;
    }
    return true;
  }

  const char* lf = static_cast<const char*>(std::memchr(begin, '\n', available));
  if (lf != nullptr) {
    const char* end = (lf > begin && lf[-1] == '\r') ? lf - 1 : lf;
    text = std::string_view(begin, static_cast<std::size_t>(end - begin));
    lineEnds = true;
    m_bLineStarted = false;
    m_nPos += static_cast<std::size_t>(lf - begin) + 1;
    return true;
  }

  // No line end in this block: deliver it, holding back a final CR that may start a CR LF.
  std::size_t count = available;
  if (begin[count - 1] == '\r') {
    --count;
    m_bPendingCr = true;
  }
  text = std::string_view(begin, count);
  lineEnds = false;
  m_bLineStarted = true;
  m_nPos = m_nLength;
  return true;
}
