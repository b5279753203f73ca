// The registry operations of the add-on: reading and writing single values with the
// caller's default on failure, and copying or moving a key with everything below it.
#include "settings/NotifyRegistry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "framework/strings.h"

namespace {

constexpr const char* kRegistryRoot = ".DEFAULT\\Software\\Tarsk Software\\FTP Quorbit Notify\\";
constexpr std::uint32_t kStringBufferSize = 2048;
constexpr std::uint32_t kNameBufferChars = 512;
constexpr std::uint32_t kDataBufferBytes = 4096;
// Upper bounds for the grown buffers: far above what the registry allows.
constexpr std::uint32_t kMaxNameChars = 65536;
constexpr std::uint32_t kMaxDataBytes = 64u * 1024 * 1024;
// A tree deeper than the registry allows is not copied.
constexpr int kMaxCopyDepth = 512;

const char* OrEmpty(const char* text) {
  return text ? text : "";
}

// Copies every subkey of hFrom, and its tree, to hTo. False when something was left out.
bool CopySubkeys(fw::HKEY hFrom, fw::HKEY hTo, int depth);
bool CopyValues(fw::HKEY hFrom, fw::HKEY hTo);

bool CopyTree(fw::HKEY hFrom, fw::HKEY hTo, int depth) {
  if (depth > kMaxCopyDepth) return false;
  const bool bSubkeys = CopySubkeys(hFrom, hTo, depth);
  const bool bValues = CopyValues(hFrom, hTo);
  return bSubkeys && bValues;
}

bool CopySubkeys(fw::HKEY hFrom, fw::HKEY hTo, int depth) {
  bool bComplete = true;
  std::vector<char> name(kNameBufferChars);
  for (std::uint32_t index = 0;;) {
    const fw::RegStatus status = fw::RegEnumKey(hFrom, index, name.data(), static_cast<std::uint32_t>(name.size()));
    if (status == fw::kErrorMoreData && name.size() < kMaxNameChars) {
      name.resize(name.size() * 2);
      continue;
    }
    if (status == fw::kErrorNoMoreItems) break;
    if (status != fw::kErrorSuccess) return false;
    ++index;

    fw::RegKey from;
    fw::RegKey to;
    if (from.Open(hFrom, name.data()) != fw::kErrorSuccess || to.Create(hTo, name.data()) != fw::kErrorSuccess) {
      bComplete = false;
      continue;
    }
    if (!CopyTree(from.Get(), to.Get(), depth + 1)) bComplete = false;
  }
  return bComplete;
}

bool CopyValues(fw::HKEY hFrom, fw::HKEY hTo) {
  bool bComplete = true;
  std::vector<char> name(kNameBufferChars);
  std::vector<unsigned char> data(kDataBufferBytes);
  for (std::uint32_t index = 0;;) {
    auto nameSize = static_cast<std::uint32_t>(name.size());
    auto dataSize = static_cast<std::uint32_t>(data.size());
    std::uint32_t type = fw::kRegNone;
    const fw::RegStatus status = fw::RegEnumValue(hFrom, index, name.data(), &nameSize, &type, data.data(), &dataSize);
    if (status == fw::kErrorMoreData) {
      // The data size is reported; a name that does not fit is not, so grow both as needed.
      bool bGrown = false;
      if (dataSize > data.size() && dataSize <= kMaxDataBytes) {
        data.resize(dataSize);
        bGrown = true;
      }
      if (!bGrown && name.size() < kMaxNameChars) {
        name.resize(name.size() * 2);
        bGrown = true;
      }
      if (bGrown) continue;
      return false;
    }
    if (status == fw::kErrorNoMoreItems) break;
    if (status != fw::kErrorSuccess) return false;
    ++index;
    if (fw::RegSetValue(hTo, name.data(), type, data.data(), dataSize) != fw::kErrorSuccess) bComplete = false;
  }
  return bComplete;
}

}  // namespace

std::string CNotifyRegistry::GetRegistryPath(const char* pszSubKey) {
  return std::string(kRegistryRoot) + OrEmpty(pszSubKey);
}

std::string CNotifyRegistry::ReadRegString(fw::HKEY hRoot, const char* pszKey, const char* pszName,
                                           const char* pszDefault) const {
  fw::RegKey key;
  if (key.Open(hRoot, OrEmpty(pszKey)) != fw::kErrorSuccess) return OrEmpty(pszDefault);
  char buffer[kStringBufferSize];
  std::uint32_t size = sizeof buffer;
  if (fw::RegQueryValue(key.Get(), OrEmpty(pszName), nullptr, buffer, &size) != fw::kErrorSuccess) {
    return OrEmpty(pszDefault);
  }
  // Only the bytes the query returned count; a value without a terminator is taken whole.
  const std::size_t length = std::min<std::size_t>(size, sizeof buffer);
  const void* terminator = std::memchr(buffer, '\0', length);
  return std::string(buffer, terminator ? static_cast<const char*>(terminator) - buffer : length);
}

std::uint32_t CNotifyRegistry::ReadRegDword(fw::HKEY hRoot, const char* pszKey, const char* pszName,
                                            std::uint32_t dwDefault) const {
  fw::RegKey key;
  if (key.Open(hRoot, OrEmpty(pszKey)) != fw::kErrorSuccess) return dwDefault;
  unsigned char buffer[4];
  std::uint32_t size = sizeof buffer;
  std::uint32_t type = fw::kRegNone;
  if (fw::RegQueryValue(key.Get(), OrEmpty(pszName), &type, buffer, &size) != fw::kErrorSuccess) return dwDefault;
  // Text is no number, not even when its bytes fit ("252" and its terminator); other types
  // are taken as their bytes.
  if (type == fw::kRegSz || type == fw::kRegExpandSz || type == fw::kRegMultiSz) return dwDefault;
  if (size < sizeof buffer) return dwDefault;
  return static_cast<std::uint32_t>(buffer[0]) | static_cast<std::uint32_t>(buffer[1]) << 8 |
         static_cast<std::uint32_t>(buffer[2]) << 16 | static_cast<std::uint32_t>(buffer[3]) << 24;
}

bool CNotifyRegistry::WriteRegString(fw::HKEY hRoot, const char* pszKey, const char* pszName,
                                     const char* pszValue) const {
  fw::RegKey key;
  if (key.Create(hRoot, OrEmpty(pszKey)) != fw::kErrorSuccess) return false;
  const char* value = OrEmpty(pszValue);
  return fw::RegSetValue(key.Get(), OrEmpty(pszName), fw::kRegSz, value,
                         static_cast<std::uint32_t>(std::strlen(value) + 1)) == fw::kErrorSuccess;
}

bool CNotifyRegistry::WriteRegDword(fw::HKEY hRoot, const char* pszKey, const char* pszName,
                                    std::uint32_t dwValue) const {
  fw::RegKey key;
  if (key.Create(hRoot, OrEmpty(pszKey)) != fw::kErrorSuccess) return false;
  const unsigned char data[4] = {static_cast<unsigned char>(dwValue), static_cast<unsigned char>(dwValue >> 8),
                                 static_cast<unsigned char>(dwValue >> 16), static_cast<unsigned char>(dwValue >> 24)};
  return fw::RegSetValue(key.Get(), OrEmpty(pszName), fw::kRegDword, data, sizeof data) == fw::kErrorSuccess;
}

bool CNotifyRegistry::ReadRegBinary(fw::HKEY hRoot, const char* pszKey, const char* pszName, std::string& data) const {
  fw::RegKey key;
  if (key.Open(hRoot, OrEmpty(pszKey)) != fw::kErrorSuccess) return false;
  std::string buffer(kDataBufferBytes, '\0');
  auto size = static_cast<std::uint32_t>(buffer.size());
  std::uint32_t type = fw::kRegNone;
  if (fw::RegQueryValue(key.Get(), OrEmpty(pszName), &type, buffer.data(), &size) != fw::kErrorSuccess ||
      type != fw::kRegBinary) {
    return false;
  }
  buffer.resize(std::min<std::size_t>(size, buffer.size()));
  data = std::move(buffer);
  return true;
}

bool CNotifyRegistry::WriteRegBinary(fw::HKEY hRoot, const char* pszKey, const char* pszName,
                                     const std::string& data) const {
  if (data.size() > kDataBufferBytes) return false;
  fw::RegKey key;
  if (key.Create(hRoot, OrEmpty(pszKey)) != fw::kErrorSuccess) return false;
  return fw::RegSetValue(key.Get(), OrEmpty(pszName), fw::kRegBinary, data.data(),
                         static_cast<std::uint32_t>(data.size())) == fw::kErrorSuccess;
}

bool CNotifyRegistry::DeleteRegValue(fw::HKEY hRoot, const char* pszKey, const char* pszName) const {
  fw::RegKey key;
  const fw::RegStatus opened = key.Open(hRoot, OrEmpty(pszKey));
  if (opened == fw::kErrorFileNotFound) return true;
  if (opened != fw::kErrorSuccess) return false;
  const fw::RegStatus status = fw::RegDeleteValue(key.Get(), OrEmpty(pszName));
  return status == fw::kErrorSuccess || status == fw::kErrorFileNotFound;
}

bool CNotifyRegistry::CopyRegistryTree(fw::HKEY hFrom, fw::HKEY hTo) const {
  return CopyTree(hFrom, hTo, 0);
}

void CNotifyRegistry::MoveRegistryKey(const char* pszOldKey, const char* pszNewKey) const {
  const std::string oldKey = OrEmpty(pszOldKey);
  const std::string newKey = OrEmpty(pszNewKey);
  // A key cannot move below itself: the copy would feed on its own output.
  if (oldKey.empty() || newKey.empty() || fw::RegPathContains(oldKey, newKey)) return;

  fw::RegKey from;
  if (from.Open(fw::HKeyUsers(), oldKey.c_str()) != fw::kErrorSuccess) return;
  fw::RegKey to;
  if (to.Open(fw::HKeyUsers(), newKey.c_str()) == fw::kErrorSuccess) return;  // never overwrite or merge
  if (to.Create(fw::HKeyUsers(), newKey.c_str()) != fw::kErrorSuccess) return;
  const bool bCopied = CopyRegistryTree(from.Get(), to.Get());
  from.Close();
  // The old key goes only when the new one holds everything.
  if (bCopied) fw::RegDeleteKey(fw::HKeyUsers(), oldKey.c_str());
}
