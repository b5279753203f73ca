// Windows-1252 conversions for the wide functions of the win32 backend.
#include "framework/win32/text_1252.h"

namespace fw::win32 {
namespace {

constexpr UINT kWindows1252 = 1252;

}  // namespace

std::wstring WideFromWindows1252(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = ::MultiByteToWideChar(kWindows1252, 0, text.data(), length, nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(kWindows1252, 0, text.data(), length, wide.data(), size);
  return wide;
}

bool Windows1252FromWide(std::wstring_view text, std::string& out) {
  out.clear();
  if (text.empty()) return true;
  const int length = static_cast<int>(text.size());
  BOOL usedDefault = FALSE;
  const int size =
      ::WideCharToMultiByte(kWindows1252, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr, 0, nullptr, &usedDefault);
  if (size <= 0 || usedDefault) return false;
  out.resize(static_cast<std::size_t>(size));
  ::WideCharToMultiByte(kWindows1252, WC_NO_BEST_FIT_CHARS, text.data(), length, out.data(), size, nullptr, nullptr);
  return true;
}

}  // namespace fw::win32
