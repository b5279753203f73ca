// The transparency filter for the message body: turns journal bytes into DATA text that the
// SMTP server reads back unchanged. Every line end (CR, LF or CR LF) goes out as CR LF, a line
// that begins with "." gets a second "." in front, and a line longer than kMaxLineLength is
// broken into lines of at most that length. The state carries across calls, so the body may
// arrive in pieces split anywhere. Pure: no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CBodyFilter {
 public:
  // Characters of one line on the wire, without its CR LF and without a doubled leading dot.
  static constexpr std::size_t kMaxLineLength = 998;

  // Back to the start of a line, as after a CR LF that the caller sent itself.
  void Reset() {
    m_nLineLength = 0;
    m_bAfterCr = false;
  }

  // Appends the filtered form of `input` to `output`.
  void Filter(std::string_view input, std::string& output);

 private:
  std::size_t m_nLineLength = 0;  // characters of the current line sent so far
  bool m_bAfterCr = false;        // the last byte was a CR, already sent as CR LF
};
