// The registry: hierarchical keys holding named, typed values, with Win32 semantics on every
// platform. Key and value names are case-insensitive; a buffer that is too small gives
// kErrorMoreData with the needed size; enumerations end with kErrorNoMoreItems; deleting a key
// that has subkeys gives kErrorAccessDenied.
//
// Windows: advapi32. Elsewhere: one SQLite database file holding the roots below, safe for
// several processes at once; its path is $QBNOTIFY_REGISTRY when set, else
// qbnotify/registry.sqlite3 under $XDG_CONFIG_HOME (or ~/.config).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fw {

struct RegKeyOpaque;
using HKEY = RegKeyOpaque*;
using RegStatus = long;

// The predefined roots (same values as Win32).
// NOLINTBEGIN(performance-no-int-to-ptr): the roots are fixed handle values, not addresses
inline HKEY HKeyCurrentUser() {
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
}
inline HKEY HKeyLocalMachine() {
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));
}
inline HKEY HKeyUsers() {
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u));
}
// NOLINTEND(performance-no-int-to-ptr)

inline constexpr RegStatus kErrorSuccess = 0;
inline constexpr RegStatus kErrorFileNotFound = 2;
inline constexpr RegStatus kErrorAccessDenied = 5;
inline constexpr RegStatus kErrorInvalidHandle = 6;
inline constexpr RegStatus kErrorInvalidParameter = 87;
inline constexpr RegStatus kErrorBadPathname = 161;  // a sub-key path that starts with a backslash
inline constexpr RegStatus kErrorMoreData = 234;
inline constexpr RegStatus kErrorNoMoreItems = 259;
inline constexpr RegStatus kErrorKeyDeleted = 1018;  // the key behind a handle was deleted

inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// RegOpenKeyA: opens `subKey` below `key` (null or "" opens `key` itself again).
RegStatus RegOpenKey(HKEY key, const char* subKey, HKEY* result);
// RegCreateKeyA: opens or creates `subKey` and every missing key above it.
RegStatus RegCreateKey(HKEY key, const char* subKey, HKEY* result);
RegStatus RegCloseKey(HKEY key);
// RegQueryValueExA. `type` and `data` may be null; `size` is in/out (bytes).
RegStatus RegQueryValue(HKEY key, const char* name, std::uint32_t* type, void* data, std::uint32_t* size);
// RegSetValueExA.
RegStatus RegSetValue(HKEY key, const char* name, std::uint32_t type, const void* data, std::uint32_t size);
RegStatus RegDeleteValue(HKEY key, const char* name);
// RegEnumKeyA: the name of subkey `index`; `nameSize` counts the terminator.
RegStatus RegEnumKey(HKEY key, std::uint32_t index, char* name, std::uint32_t nameSize);
// RegEnumValueA: `nameSize` (characters, in/out, without the terminator on return) and
// `dataSize` (bytes, in/out) as Win32 does.
RegStatus RegEnumValue(HKEY key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                       void* data, std::uint32_t* dataSize);
// RegDeleteKeyA: deletes `subKey` of `key`; refuses a key that has subkeys.
RegStatus RegDeleteKey(HKEY key, const char* subKey);

// The key names of a sub-key path as the registry resolves it: empty names (doubled and
// trailing backslashes) are skipped, a path that starts with a backslash is refused with
// kErrorBadPathname, and "" names the key itself. The names point into `subKey`.
RegStatus RegSplitPath(std::string_view subKey, std::vector<std::string_view>& names);
// Whether `inner` resolves to the key `outer` resolves to, or to a key below it: names are
// compared ignoring case (Windows-1252 letters). False when either path is refused.
bool RegPathContains(std::string_view outer, std::string_view inner);

// Owns an open key and closes it.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY key) : m_key(key) {}
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  RegKey(RegKey&& other) noexcept : m_key(other.Release()) {}
  RegKey& operator=(RegKey&& other) noexcept;
  ~RegKey() { Close(); }

  RegStatus Open(HKEY parent, const char* subKey);
  RegStatus Create(HKEY parent, const char* subKey);
  void Close();
  HKEY Get() const { return m_key; }
  HKEY* Receive();  // closes any held key and gives the slot to an out-parameter
  HKEY Release();
  explicit operator bool() const { return m_key != nullptr; }

 private:
  HKEY m_key = nullptr;
};

}  // namespace fw
