// Reads the lines of a journal file in bounded pieces: a line is delivered as one or more
// pieces, the last of which carries the line end, so that a huge line is never held whole.
// A line ends at LF; a CR right before the LF belongs to the line end (also when the two lie
// in different pieces of the file). Every byte, 0x1A included, is data. Pure: the bytes come
// from a read function, which may throw.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

class CLogLineReader {
 public:
  // Bytes read from the file at a time, and the largest piece of a line.
  static constexpr std::size_t kPieceSize = 65536;

  // Reads up to `count` bytes into `buffer`; 0 at the end of the data.
  using ReadFunction = std::function<std::size_t(char* buffer, std::size_t count)>;

  // Forgets everything read so far (a new file) and frees the buffer.
  void Reset();

  // Discards the next `count` lines; stops early at the end of the data.
  void SkipLines(long long count, const ReadFunction& read);

  // The next piece of the current line, valid until the next call, and whether the line ends
  // after it (the line end itself is not part of `text`). False at the end of the data.
  bool NextPiece(const ReadFunction& read, std::string_view& text, bool& lineEnds);

 private:
  // True when unread bytes are buffered, reading the next block of the file if needed.
  bool Fill(const ReadFunction& read);

  std::vector<char> m_buffer;
  std::size_t m_nPos = 0;
  std::size_t m_nLength = 0;
  bool m_bEnd = false;          // the read function reported the end
  bool m_bPendingCr = false;    // a CR ended the last block; a LF may follow in the next
  bool m_bLineStarted = false;  // part of the current line was delivered without its end
};
