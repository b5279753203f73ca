// The Subject header field: as it is, folded at blanks, or as encoded words.
#include "mail/SubjectHeader.h"

#include <algorithm>
#include <cstdint>

#include "mail/Base64.h"

namespace mailheader {
namespace {

constexpr std::string_view kFieldStart = "Subject: ";
constexpr std::string_view kFold = "\r\n ";

bool IsPlainAscii(std::string_view text) {
  // A "=?" would be read as the start of an encoded word.
  return text.find("=?") == std::string_view::npos &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// Appends `text` folded before runs of blanks so that no line passes kMaxLineLength, with
// `column` characters already on the first line. False when a line cannot be kept that short.
bool AppendFolded(std::string& out, std::string_view text, std::size_t column) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // A run of blanks and the word after it: a fold goes before the run, never inside.
    const std::size_t word = std::min(text.find_first_not_of(' ', pos), text.size());
    const std::size_t end = std::min(text.find(' ', word), text.size());
    const std::size_t length = end - pos;
    if (pos != 0 && column + length > kMaxLineLength) {
      if (word == text.size()) return false;  // a line of blanks only is no header line
      out += "\r\n";
      column = 0;
    }
    if (column + length > kMaxLineLength) return false;
    out.append(text, pos, length);
    column += length;
    pos = end;
  }
  return true;
}

// Q encoding (RFC 2047 4.2): letters, digits and a few marks stand for themselves, a blank is
// "_", every other byte "=XX".
std::string QEncoded(char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto byte = static_cast<unsigned char>(c);
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
      std::string_view("!*+-/").find(c) != std::string_view::npos) {
    return std::string(1, c);
  }
  if (c == ' ') return "_";
  return {'=', kHex[byte >> 4], kHex[byte & 0x0F]};
}

// Appends `text` as encoded words, one per line, the first after `column` characters: Q when
// that is no longer than B (mostly ASCII text), else B.
void AppendEncodedWords(std::string& out, std::string_view text, std::size_t column) {
  std::size_t qLength = 0;
  for (char c : text) qLength += QEncoded(c).size();
  const bool q = qLength <= (text.size() + 2) / 3 * 4;
  const std::string prefix = q ? "=?windows-1252?Q?" : "=?windows-1252?B?";
  constexpr std::string_view kSuffix = "?=";
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t room = std::min(kMaxEncodedWordLength, kMaxLineLength - column) - prefix.size() - kSuffix.size();
    std::string encoded;
    if (q) {
      // Whole "=XX" triplets only: a byte is never split between two words.
      while (pos < text.size()) {
        const std::string piece = QEncoded(text[pos]);
        if (encoded.size() + piece.size() > room) break;
        encoded += piece;
        ++pos;
      }
    } else {
      const std::size_t count = std::min(room / 4 * 3, text.size() - pos);
      encoded = mailcode::Base64(text.substr(pos, count));
      pos += count;
    }
    // The blank of a fold between two encoded words is no part of the text.
    if (out.size() > kFieldStart.size()) out += kFold;
    out += prefix + encoded + std::string(kSuffix);
    column = kFold.size() - 2;
  }
}

}  // namespace

std::string FormatSubjectField(std::string_view subject) {
  std::string field(kFieldStart);
  if (!IsPlainAscii(subject) || !AppendFolded(field, subject, kFieldStart.size())) {
    field.resize(kFieldStart.size());
    AppendEncodedWords(field, subject, kFieldStart.size());
  }
  field += "\r\n";
  return field;
}

}  // namespace mailheader
