// A registry test fixture: every test works below its own key
// HKEY_CURRENT_USER\Software\QBNotifyTests\<unique>, deleted with everything below it at the
// end. Where the registry is a database file, each test also gets a file of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "framework/registry.h"
#include "temp_dir.h"

namespace fw_test {

// Deletes `path` below `root` with all of its subkeys.
inline void DeleteKeyTree(fw::HKEY root, const std::string& path) {
  fw::RegKey key;
  if (key.Open(root, path.c_str()) != fw::kErrorSuccess) return;
  char name[512];
  while (fw::RegEnumKey(key.Get(), 0, name, sizeof name) == fw::kErrorSuccess) DeleteKeyTree(key.Get(), name);
  key.Close();
  fw::RegDeleteKey(root, path.c_str());
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    setenv("QBNOTIFY_REGISTRY", m_dir.File("registry.sqlite3").c_str(), 1);
#endif
    m_path = "Software\\QBNotifyTests\\" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
             std::to_string(std::random_device()());
    ASSERT_EQ(m_key.Create(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorSuccess);
  }

  void TearDown() override {
    m_key.Close();
    DeleteKeyTree(fw::HKeyCurrentUser(), m_path);
    fw::RegDeleteKey(fw::HKeyCurrentUser(), "Software\\QBNotifyTests");  // fails while other tests use it
#if !defined(_WIN32)
    unsetenv("QBNOTIFY_REGISTRY");
#endif
  }

  static fw::RegStatus SetString(fw::HKEY key, const char* name, const std::string& value) {
    return fw::RegSetValue(key, name, fw::kRegSz, value.c_str(), static_cast<std::uint32_t>(value.size() + 1));
  }
  static fw::RegStatus SetDword(fw::HKEY key, const char* name, std::uint32_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return fw::RegSetValue(key, name, fw::kRegDword, bytes, sizeof bytes);
  }
  // The value's bytes, or an empty string with `status` set when the query fails.
  static std::string Query(fw::HKEY key, const char* name, std::uint32_t* type = nullptr,
                           fw::RegStatus* status = nullptr) {
    std::uint32_t size = 0;
    fw::RegStatus result = fw::RegQueryValue(key, name, type, nullptr, &size);
    std::string data(size, '\0');
    if (result == fw::kErrorSuccess) result = fw::RegQueryValue(key, name, type, data.data(), &size);
    if (status != nullptr) *status = result;
    return result == fw::kErrorSuccess ? data.substr(0, size) : std::string();
  }

  TempDir m_dir;  // the database file, where there is one
  std::string m_path;
  fw::RegKey m_key;
};

}  // namespace fw_test
