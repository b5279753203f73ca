// Registry access for qbhost: whole values, enumerations, subtree deletion and export, and
// the application of .reg files, all through the framework's registry functions.
#include "host/registry_io.h"

#include <algorithm>

namespace qbhost {
namespace {

constexpr std::uint32_t kFirstNameBuffer = 16384;  // longest value name the system allows, plus one
constexpr std::uint32_t kLargestBuffer = 64u << 20;

std::string StatusText(fw::RegStatus status) {
  std::string text = "error " + std::to_string(status);
  switch (status) {
    case fw::kErrorFileNotFound:
      return text + ", not found";
    case fw::kErrorAccessDenied:
      return text + ", access denied";
    case fw::kErrorInvalidHandle:
      return text + ", invalid handle";
    case fw::kErrorInvalidParameter:
      return text + ", invalid parameter";
    default:
      return text;
  }
}

[[noreturn]] void Fail(const std::string& what, fw::RegStatus status) {
  throw RegistryError(what + " (" + StatusText(status) + ")");
}

fw::RegKey OpenExisting(const KeyPath& path) {
  fw::RegKey key;
  fw::RegStatus status = key.Open(path.root, path.subKey.c_str());
  if (status != fw::kErrorSuccess) Fail("cannot open key " + path.Full(), status);
  return key;
}

std::string ChildPath(const std::string& parent, const std::string& name) {
  std::string path = parent;
  path += '\\';
  path += name;
  return path;
}

// Opens a subkey that enumeration named; false when it has been deleted meanwhile.
bool OpenChild(fw::HKEY key, const std::string& name, const std::string& childPath, fw::RegKey& child) {
  const fw::RegStatus status = child.Open(key, name.c_str());
  if (status == fw::kErrorFileNotFound) return false;
  if (status != fw::kErrorSuccess) Fail("cannot open key " + childPath, status);
  return true;
}

void DeleteChildren(fw::HKEY key, const std::string& fullName) {
  for (const std::string& name : SubkeyNames(key)) {
    const std::string childPath = ChildPath(fullName, name);
    fw::RegKey child;
    if (!OpenChild(key, name, childPath, child)) continue;
    DeleteChildren(child.Get(), childPath);
    child.Close();
    const fw::RegStatus status = fw::RegDeleteKey(key, name.c_str());
    if (status != fw::kErrorSuccess && status != fw::kErrorFileNotFound) Fail("cannot delete key " + childPath, status);
  }
}

void ExportInto(fw::HKEY key, const std::string& fullName, RegFile& out) {
  RegFileKey entry;
  entry.path = fullName;
  for (const std::string& name : ValueNames(key)) {
    std::optional<RegValueData> value = ReadValue(key, name);
    if (!value) continue;  // deleted meanwhile
    entry.values.push_back({name, false, value->type, std::move(value->data), 0});
  }
  out.keys.push_back(std::move(entry));
  for (const std::string& name : SubkeyNames(key)) {
    const std::string childPath = ChildPath(fullName, name);
    fw::RegKey child;
    if (OpenChild(key, name, childPath, child)) ExportInto(child.Get(), childPath, out);
  }
}

}  // namespace

std::optional<RegValueData> ReadValue(fw::HKEY key, const std::string& name) {
  RegValueData value;
  std::uint32_t size = 0;
  fw::RegStatus status = fw::RegQueryValue(key, name.c_str(), &value.type, nullptr, &size);
  if (status == fw::kErrorFileNotFound) return std::nullopt;
  if (status != fw::kErrorSuccess) Fail("cannot read value \"" + name + "\"", status);
  for (;;) {
    // The value may grow between the calls: retry with a larger buffer.
    value.data.assign(std::max<std::uint32_t>(size, 1), '\0');
    std::uint32_t got = static_cast<std::uint32_t>(value.data.size());
    status = fw::RegQueryValue(key, name.c_str(), &value.type, value.data.data(), &got);
    if (status == fw::kErrorSuccess) {
      value.data.resize(std::min<std::size_t>(got, value.data.size()));
      return value;
    }
    if (status == fw::kErrorFileNotFound) return std::nullopt;
    if (status != fw::kErrorMoreData) Fail("cannot read value \"" + name + "\"", status);
    size = std::max<std::uint32_t>(got, static_cast<std::uint32_t>(value.data.size() * 2));
    if (size > kLargestBuffer) Fail("value \"" + name + "\" is too large", status);
  }
}

std::vector<std::string> ValueNames(fw::HKEY key) {
  std::vector<std::string> names;
  std::string buffer(kFirstNameBuffer, '\0');
  for (std::uint32_t index = 0;;) {
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    fw::RegStatus status = fw::RegEnumValue(key, index, buffer.data(), &length, nullptr, nullptr, nullptr);
    if (status == fw::kErrorNoMoreItems) break;
    if (status == fw::kErrorMoreData && buffer.size() < kLargestBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != fw::kErrorSuccess) Fail("cannot enumerate values", status);
    names.emplace_back(buffer.data(), std::min<std::size_t>(length, buffer.size()));
    ++index;
  }
  return names;
}

std::vector<std::string> SubkeyNames(fw::HKEY key) {
  std::vector<std::string> names;
  std::string buffer(512, '\0');
  for (std::uint32_t index = 0;;) {
    fw::RegStatus status = fw::RegEnumKey(key, index, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (status == fw::kErrorNoMoreItems) break;
    if (status == fw::kErrorMoreData && buffer.size() < kLargestBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != fw::kErrorSuccess) Fail("cannot enumerate subkeys", status);
    names.emplace_back(buffer.c_str());
    ++index;
  }
  return names;
}

bool DeleteTree(const KeyPath& path) {
  if (path.subKey.empty()) throw RegistryError("refusing to delete the root " + path.rootName);
  fw::RegKey key;
  fw::RegStatus status = key.Open(path.root, path.subKey.c_str());
  if (status == fw::kErrorFileNotFound) return false;
  if (status != fw::kErrorSuccess) Fail("cannot open key " + path.Full(), status);
  DeleteChildren(key.Get(), path.Full());
  key.Close();
  status = fw::RegDeleteKey(path.root, path.subKey.c_str());
  if (status != fw::kErrorSuccess) Fail("cannot delete key " + path.Full(), status);
  return true;
}

void ApplyRegFile(const RegFile& regFile, const std::string& fileName) {
  for (const RegFileKey& entry : regFile.keys) {
    std::string where = fileName + ":" + std::to_string(entry.line) + ": ";
    KeyPath path = ParseKeyPath(entry.path);
    try {
      if (entry.remove) {
        DeleteTree(path);
        continue;
      }
      fw::RegKey key;
      fw::RegStatus status = key.Create(path.root, path.subKey.c_str());
      if (status != fw::kErrorSuccess) Fail("cannot create key " + path.Full(), status);
      for (const RegFileValue& value : entry.values) {
        where = fileName + ":" + std::to_string(value.line) + ": ";
        if (value.remove) {
          status = fw::RegDeleteValue(key.Get(), value.name.c_str());
          if (status != fw::kErrorSuccess && status != fw::kErrorFileNotFound)
            Fail("cannot delete value \"" + value.name + "\"", status);
          continue;
        }
        status = fw::RegSetValue(key.Get(), value.name.c_str(), value.type, value.data.data(),
                                 static_cast<std::uint32_t>(value.data.size()));
        if (status != fw::kErrorSuccess) Fail("cannot set value \"" + value.name + "\"", status);
      }
    } catch (const RegistryError& e) {
      throw RegistryError(where + e.what());
    }
  }
}

RegFile ExportTree(const KeyPath& path) {
  fw::RegKey key = OpenExisting(path);
  RegFile out;
  ExportInto(key.Get(), path.Full(), out);
  return out;
}

RegFileKey ReadKey(const KeyPath& path) {
  fw::RegKey key = OpenExisting(path);
  RegFileKey entry;
  entry.path = path.Full();
  for (const std::string& name : ValueNames(key.Get())) {
    if (std::optional<RegValueData> value = ReadValue(key.Get(), name))
      entry.values.push_back({name, false, value->type, std::move(value->data), 0});
  }
  return entry;
}

void SetValue(const KeyPath& path, const std::string& name, std::uint32_t type, const std::string& data) {
  fw::RegKey key;
  fw::RegStatus status = key.Create(path.root, path.subKey.c_str());
  if (status != fw::kErrorSuccess) Fail("cannot create key " + path.Full(), status);
  status = fw::RegSetValue(key.Get(), name.c_str(), type, data.data(), static_cast<std::uint32_t>(data.size()));
  if (status != fw::kErrorSuccess) Fail("cannot set value \"" + name + "\" in " + path.Full(), status);
}

bool DeleteValue(const KeyPath& path, const std::string& name) {
  fw::RegKey key = OpenExisting(path);
  fw::RegStatus status = fw::RegDeleteValue(key.Get(), name.c_str());
  if (status == fw::kErrorFileNotFound) return false;
  if (status != fw::kErrorSuccess) Fail("cannot delete value \"" + name + "\" in " + path.Full(), status);
  return true;
}

}  // namespace qbhost
