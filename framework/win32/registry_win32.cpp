// The registry through advapi32. The framework's key handles are Win32 handles; its
// predefined roots carry the 32-bit values of Win32's, which 64-bit Windows sign-extends.
#include <cstdint>

#include "framework/registry.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

::HKEY ToWin32(HKEY key) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= 0x80000000u && value <= 0x800000FFu) {
    return reinterpret_cast<::HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
  }
  return reinterpret_cast<::HKEY>(key);
}

HKEY FromWin32(::HKEY key) {
  return reinterpret_cast<HKEY>(key);
}

// DWORD is unsigned long here, the framework's sizes are std::uint32_t: an in/out size that
// may be null.
class SizeArg {
 public:
  explicit SizeArg(std::uint32_t* size) : m_size(size), m_value(size != nullptr ? *size : 0) {}
  ~SizeArg() {
    if (m_size != nullptr) *m_size = static_cast<std::uint32_t>(m_value);
  }
  SizeArg(const SizeArg&) = delete;
  SizeArg& operator=(const SizeArg&) = delete;
  DWORD* Get() { return m_size != nullptr ? &m_value : nullptr; }

 private:
  std::uint32_t* m_size;
  DWORD m_value;
};

}  // namespace

RegStatus RegOpenKey(HKEY key, const char* subKey, HKEY* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  // RegOpenKeyA gives back the parent's own handle for an empty name; a new handle is opened
  // instead so that the caller may close it.
  ::HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyExA(ToWin32(key), subKey, 0, MAXIMUM_ALLOWED, &opened);
  *result = status == ERROR_SUCCESS ? FromWin32(opened) : nullptr;
  return status;
}

RegStatus RegCreateKey(HKEY key, const char* subKey, HKEY* result) {
  if (result == nullptr) return kErrorInvalidParameter;
  ::HKEY created = nullptr;
  LSTATUS status = ::RegCreateKeyExA(ToWin32(key), subKey != nullptr ? subKey : "", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     MAXIMUM_ALLOWED, nullptr, &created, nullptr);
  *result = status == ERROR_SUCCESS ? FromWin32(created) : nullptr;
  return status;
}

RegStatus RegCloseKey(HKEY key) {
  return ::RegCloseKey(ToWin32(key));
}

RegStatus RegQueryValue(HKEY key, const char* name, std::uint32_t* type, void* data, std::uint32_t* size) {
  SizeArg typeArg(type);
  SizeArg sizeArg(size);
  return ::RegQueryValueExA(ToWin32(key), name, nullptr, typeArg.Get(), static_cast<BYTE*>(data), sizeArg.Get());
}

RegStatus RegSetValue(HKEY key, const char* name, std::uint32_t type, const void* data, std::uint32_t size) {
  return ::RegSetValueExA(ToWin32(key), name, 0, type, static_cast<const BYTE*>(data), size);
}

RegStatus RegDeleteValue(HKEY key, const char* name) {
  return ::RegDeleteValueA(ToWin32(key), name);
}

RegStatus RegEnumKey(HKEY key, std::uint32_t index, char* name, std::uint32_t nameSize) {
  return ::RegEnumKeyA(ToWin32(key), index, name, nameSize);
}

RegStatus RegEnumValue(HKEY key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                       void* data, std::uint32_t* dataSize) {
  SizeArg nameArg(nameSize);
  SizeArg typeArg(type);
  SizeArg dataArg(dataSize);
  return ::RegEnumValueA(ToWin32(key), index, name, nameArg.Get(), nullptr, typeArg.Get(), static_cast<BYTE*>(data),
                         dataArg.Get());
}

RegStatus RegDeleteKey(HKEY key, const char* subKey) {
  return ::RegDeleteKeyA(ToWin32(key), subKey);
}

}  // namespace fw
