// Strings of the module's own string table, as the Windows-1252 bytes of the resource script
// whatever the system's ANSI code page is: the string block is read directly and its UTF-16
// entries are converted with code page 1252.
#include <string>

#include "framework/backend.h"
#include "framework/win32/module_handle.h"
#include "framework/win32/windows_api.h"

namespace fw::backend {
namespace {

constexpr UINT kWindows1252 = 1252;
constexpr unsigned kStringsPerBlock = 16;

std::string ToWindows1252(const WCHAR* text, int length) {
  int size = ::WideCharToMultiByte(kWindows1252, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(kWindows1252, 0, text, length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

}  // namespace

bool LoadModuleString(unsigned id, std::string& text) {
  text.clear();
  if (id > 0xFFFF) return false;
  HINSTANCE module = win32::ModuleHandle();
  // A block holds the strings id & ~15 .. id | 15, each a length (in UTF-16 units) and the text.
  HRSRC info = ::FindResourceA(module, MAKEINTRESOURCEA(id / kStringsPerBlock + 1), MAKEINTRESOURCEA(6));
  if (info == nullptr) return false;
  HGLOBAL block = ::LoadResource(module, info);
  const auto* entry = block != nullptr ? static_cast<const WCHAR*>(::LockResource(block)) : nullptr;
  if (entry == nullptr) return false;
  const WCHAR* end = entry + ::SizeofResource(module, info) / sizeof(WCHAR);

  for (unsigned index = id % kStringsPerBlock; index > 0; --index) {
    if (entry >= end) return false;
    entry += 1 + *entry;
  }
  if (entry >= end) return false;
  const unsigned length = *entry++;
  if (length == 0 || length > static_cast<unsigned>(end - entry)) return false;
  text = ToWindows1252(entry, static_cast<int>(length));
  return !text.empty();
}

}  // namespace fw::backend
