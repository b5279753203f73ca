// The registry seen through the framework's registry functions (the same ones the add-on
// uses): key paths with their root, whole values whatever their size, subtrees, and the
// application and export of .reg files.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/registry.h"
#include "host/reg_file.h"

namespace qbhost {

// A registry operation that failed; the message names the key (and the .reg line).
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RegValueData {
  std::uint32_t type = 0;
  std::string data;
};

// The whole value, or nullopt when it does not exist. Throws RegistryError on other failures.
std::optional<RegValueData> ReadValue(fw::HKEY key, const std::string& name);
std::vector<std::string> ValueNames(fw::HKEY key);
std::vector<std::string> SubkeyNames(fw::HKEY key);

// Deletes a key with all its subkeys. False when the key did not exist; throws RegistryError
// when it cannot be deleted.
bool DeleteTree(const KeyPath& path);

// Applies a parsed .reg file, key by key in file order. Throws RegistryError naming the line.
void ApplyRegFile(const RegFile& regFile, const std::string& fileName);

// The key and everything below it (the key first, then its subkeys depth first). Throws
// RegistryError when the key does not exist.
RegFile ExportTree(const KeyPath& path);

// The key's own values (no subkeys). Throws RegistryError when the key does not exist.
RegFileKey ReadKey(const KeyPath& path);

// Sets one value, creating the key when needed. Throws RegistryError.
void SetValue(const KeyPath& path, const std::string& name, std::uint32_t type, const std::string& data);

// Deletes one value. False when it did not exist; throws RegistryError on other failures.
bool DeleteValue(const KeyPath& path, const std::string& name);

}  // namespace qbhost
