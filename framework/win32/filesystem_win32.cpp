// Files and directories by path through the Win32 and C run-time calls.
#include <io.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/filesystem.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

// A path with an embedded zero byte would name another file.
bool Usable(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int length =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
  return text;
}

}  // namespace

bool CreateDirectory(const std::string& path) {
  return Usable(path) && ::CreateDirectoryA(path.c_str(), nullptr);
}

bool DeleteFile(const std::string& path) {
  return Usable(path) && ::_unlink(path.c_str()) == 0;
}

bool PathExists(const std::string& path) {
  return Usable(path) && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string UserAppFolder(const std::string& name) {
  std::vector<wchar_t> buffer(MAX_PATH);
  DWORD length = ::GetEnvironmentVariableW(L"APPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length >= buffer.size()) {
    buffer.resize(length);
    length = ::GetEnvironmentVariableW(L"APPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  }
  if (length == 0 || length >= buffer.size() || name.empty()) return {};
  std::string folder = Utf8FromWide(std::wstring(buffer.data(), length));
  if (folder.empty()) return {};
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  return folder + name;
}

bool ReadWholeFile(const std::string& utf8Path, std::size_t maxBytes, std::string& bytes) {
  bytes.clear();
  const std::wstring path = WideFromUtf8(utf8Path);
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size) && size.QuadPart >= 0 &&
            static_cast<unsigned long long>(size.QuadPart) <= maxBytes;
  // The file may grow while it is read: never more than maxBytes.
  std::string content(ok ? static_cast<std::size_t>(size.QuadPart) + 1 : 0, '\0');
  std::size_t filled = 0;
  while (ok) {
    if (filled == content.size()) content.resize(std::min(maxBytes + 1, content.size() * 2 + 4096));
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(content.size() - filled, 1u << 20));
    if (!::ReadFile(file, content.data() + filled, want, &got, nullptr)) {
      ok = false;
    } else if (got == 0) {
      break;
    }
    filled += got;
    ok = ok && filled <= maxBytes;
  }
  ::CloseHandle(file);
  if (!ok) return false;
  content.resize(filled);
  bytes = std::move(content);
  return true;
}

}  // namespace fw
