// The Subject header field within RFC 5322's line limits. A printable ASCII subject goes out
// as it is when it fits one line and folded at its blanks when it is longer; a subject with
// 8-bit characters, or one that cannot be folded short enough, goes out as RFC 2047 encoded
// words in the charset windows-1252. Pure: no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mailheader {

// Characters of a header line without its CR LF, and of one encoded word.
inline constexpr std::size_t kMaxLineLength = 78;
inline constexpr std::size_t kMaxEncodedWordLength = 75;

// "Subject: ..." with the CR LF of every line, for Windows-1252 text without control
// characters.
std::string FormatSubjectField(std::string_view subject);

}  // namespace mailheader
