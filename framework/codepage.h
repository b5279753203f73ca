// Conversions between the add-on's 8-bit text (Windows-1252) and Unicode text of other
// programs (UTF-8, UTF-16LE). Windows-1252 is taken as Windows defines it: every byte has a
// character, the five bytes that the standard leaves unassigned stand for U+0081, U+008D,
// U+008F, U+0090 and U+009D.
#pragma once

#include <string>
#include <string_view>

namespace fw {

// Converts UTF-8 to Windows-1252. False (and `text` empty) when the input is not well-formed
// UTF-8 or holds a character that Windows-1252 lacks: such text is never stored mangled.
bool Utf8ToWindows1252(std::string_view utf8, std::string& text);

// The same for UTF-16 (code units in host order; unpaired surrogates are malformed).
bool Utf16ToWindows1252(std::u16string_view utf16, std::string& text);

// Appends code point `c` (at most U+10FFFF, no surrogate) to `out` in UTF-8.
void AppendUtf8(char32_t c, std::string& out);

// Converts Windows-1252 to UTF-8; always succeeds.
std::string Windows1252ToUtf8(std::string_view text);

}  // namespace fw
