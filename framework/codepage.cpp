// Windows-1252 to and from UTF-8 and UTF-16 (see codepage.h).
#include "framework/codepage.h"

#include <array>
#include <cstdint>

namespace fw {
namespace {

// The characters of bytes 0x80-0x9F; the other bytes are their own code points.
constexpr std::array<char32_t, 32> kHighControls = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t CharacterOf(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHighControls[byte - 0x80] : byte;
}

// The byte for `c`, or false when Windows-1252 has no such character.
bool ByteOf(char32_t c, char& byte) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
    byte = static_cast<char>(c);
    return true;
  }
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == c) {
      byte = static_cast<char>(0x80 + i);
      return true;
    }
  }
  return false;
}

// Decodes one UTF-8 sequence at `pos` (advanced past it); false when malformed (overlong
// forms, surrogates and values above U+10FFFF included).
bool DecodeUtf8(std::string_view utf8, std::size_t& pos, char32_t& c) {
  const auto lead = static_cast<unsigned char>(utf8[pos++]);
  int more = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    c = lead;
    return true;
  }
  if ((lead & 0xE0) == 0xC0) {
    more = 1;
    c = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    more = 2;
    c = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    more = 3;
    c = lead & 0x07;
    minimum = 0x10000;
  } else {
    return false;
  }
  for (; more > 0; --more) {
    if (pos >= utf8.size()) return false;
    const auto next = static_cast<unsigned char>(utf8[pos++]);
    if ((next & 0xC0) != 0x80) return false;
    c = (c << 6) | (next & 0x3F);
  }
  return c >= minimum && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

}  // namespace

bool Utf8ToWindows1252(std::string_view utf8, std::string& text) {
  text.clear();
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    char32_t c = 0;
    char byte = 0;
    if (!DecodeUtf8(utf8, pos, c) || !ByteOf(c, byte)) return false;
    out += byte;
  }
  text = std::move(out);
  return true;
}

bool Utf16ToWindows1252(std::u16string_view utf16, std::string& text) {
  text.clear();
  std::string out;
  out.reserve(utf16.size());
  for (const char16_t unit : utf16) {
    char byte = 0;
    // A surrogate (paired or not) stands for a character beyond U+FFFF, or for none.
    if ((unit >= 0xD800 && unit <= 0xDFFF) || !ByteOf(unit, byte)) return false;
    out += byte;
  }
  text = std::move(out);
  return true;
}

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Windows1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (const char byte : text) AppendUtf8(CharacterOf(static_cast<unsigned char>(byte)), out);
  return out;
}

}  // namespace fw
