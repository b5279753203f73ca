// String-table loading, printf-style formatting and the Windows-1252 case rules.
#include "framework/strings.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "framework/backend.h"

namespace fw {
namespace {

// Windows-1252 case pairs: ASCII letters, the Latin-1 letters 0xC0-0xDE (except the
// multiplication sign 0xD7) and the four pairs in 0x80-0x9F.
struct CaseTables {
  std::array<unsigned char, 256> lower{};
  std::array<unsigned char, 256> upper{};

  constexpr CaseTables() {
    for (int c = 0; c < 256; ++c) {
      lower[c] = static_cast<unsigned char>(c);
      upper[c] = static_cast<unsigned char>(c);
    }
    auto pair = [this](int up, int low) {
      lower[up] = static_cast<unsigned char>(low);
      upper[low] = static_cast<unsigned char>(up);
    };
    for (int c = 'A'; c <= 'Z'; ++c) pair(c, c + 0x20);
    for (int c = 0xC0; c <= 0xDE; ++c) {
      if (c != 0xD7) pair(c, c + 0x20);
    }
    pair(0x8A, 0x9A);
    pair(0x8C, 0x9C);
    pair(0x8E, 0x9E);
    pair(0x9F, 0xFF);
  }
};

constexpr CaseTables kCase;

unsigned char LowerByte(char c) {
  return kCase.lower[static_cast<unsigned char>(c)];
}

bool IsTrimmedSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

bool LoadString(unsigned long long id, std::string& text) {
  text.clear();
  if (id > std::numeric_limits<std::uint16_t>::max()) return false;
  if (!backend::LoadModuleString(static_cast<unsigned>(id), text) || text.empty()) {
    text.clear();
    return false;
  }
  return true;
}

std::string LoadString(unsigned long long id) {
  std::string text;
  LoadString(id, text);
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = FormatV(format, args);
  va_end(args);
  return result;
}

std::string FormatV(const char* format, va_list args) {
  if (format == nullptr) return {};
  std::array<char, 512> local;
  va_list copy;
  va_copy(copy, args);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_copy initialised it
  const int length = std::vsnprintf(local.data(), local.size(), format, copy);
  va_end(copy);
  if (length < 0) return {};
  if (static_cast<std::size_t>(length) < local.size()) return std::string(local.data(), length);

  std::string result(static_cast<std::size_t>(length), '\0');
  va_copy(copy, args);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_copy initialised it
  const int written = std::vsnprintf(result.data(), result.size() + 1, format, copy);
  va_end(copy);
  if (written != length) return {};
  return result;
}

std::string FormatId(unsigned id, ...) {
  const std::string pattern = LoadString(id);
  va_list args;
  va_start(args, id);
  std::string result = FormatV(pattern.c_str(), args);
  va_end(args);
  return result;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const int diff = LowerByte(a[i]) - LowerByte(b[i]);
    if (diff != 0) return diff;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

char ToLowerAnsi(char c) {
  return static_cast<char>(LowerByte(c));
}

char ToUpperAnsi(char c) {
  return static_cast<char>(kCase.upper[static_cast<unsigned char>(c)]);
}

void MakeLower(std::string& text) {
  for (char& c : text) c = ToLowerAnsi(c);
}

std::string Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsTrimmedSpace(text[begin])) ++begin;
  while (end > begin && IsTrimmedSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

}  // namespace fw
