// CNotifyRegistry: the registry operations of the add-on, with its failure rules: a read that
// fails gives the caller's default, a write that fails writes nothing. Only the writes tell
// whether they succeeded, so that a failed save is not taken for a saved one.
// The application object derives from it, so other code reaches them through AfxGetApp().
#pragma once

#include <cstdint>
#include <string>

#include "framework/registry.h"

class CNotifyRegistry {
 public:
  // ".DEFAULT\Software\Tarsk Software\FTP Quorbit Notify\" followed by pszSubKey.
  static std::string GetRegistryPath(const char* pszSubKey);

  std::string ReadRegString(fw::HKEY hRoot, const char* pszKey, const char* pszName, const char* pszDefault) const;
  // A value of a text type (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) or of fewer than 4 bytes
  // counts as missing.
  std::uint32_t ReadRegDword(fw::HKEY hRoot, const char* pszKey, const char* pszName, std::uint32_t dwDefault) const;
  bool WriteRegString(fw::HKEY hRoot, const char* pszKey, const char* pszName, const char* pszValue) const;
  bool WriteRegDword(fw::HKEY hRoot, const char* pszKey, const char* pszName, std::uint32_t dwValue) const;
  // A REG_BINARY value of at most 4096 bytes; false (and `data` unchanged) when it is missing,
  // longer or of another type.
  bool ReadRegBinary(fw::HKEY hRoot, const char* pszKey, const char* pszName, std::string& data) const;
  bool WriteRegBinary(fw::HKEY hRoot, const char* pszKey, const char* pszName, const std::string& data) const;
  // Deletes one value; a value that does not exist counts as deleted.
  bool DeleteRegValue(fw::HKEY hRoot, const char* pszKey, const char* pszName) const;
  // Copies every subkey (recursively), then every value, of hFrom into hTo. Returns whether
  // everything was copied.
  bool CopyRegistryTree(fw::HKEY hFrom, fw::HKEY hTo) const;
  // Moves a key below HKEY_USERS to a new path that does not exist yet.
  void MoveRegistryKey(const char* pszOldKey, const char* pszNewKey) const;

 protected:
  ~CNotifyRegistry() = default;
};
