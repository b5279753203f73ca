// The registry functions: typed values and their sizes, short buffers, enumeration, names
// that differ in case, and the rules for deleting keys.
#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "registry_test_support.h"

namespace {

using fw_test::RegistryTest;
using namespace std::string_literals;

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytes) {
  const std::string binary = "\x00\x01\xFF\x00\x7F"s;
  const std::string multi = "one\0two\0\0"s;
  ASSERT_EQ(SetString(m_key.Get(), "SMTP Server", "smtp.example.org"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(m_key.Get(), "SMTP Port", 0x01020304), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegSetValue(m_key.Get(), "Blob", fw::kRegBinary, binary.data(), 5), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegSetValue(m_key.Get(), "Multi", fw::kRegMultiSz, multi.data(), 9), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegSetValue(m_key.Get(), "Empty", fw::kRegBinary, nullptr, 0), fw::kErrorSuccess);

  std::uint32_t type = 99;
  EXPECT_EQ(Query(m_key.Get(), "SMTP Server", &type), "smtp.example.org\0"s);
  EXPECT_EQ(type, fw::kRegSz);
  EXPECT_EQ(Query(m_key.Get(), "SMTP Port", &type), "\x04\x03\x02\x01"s);
  EXPECT_EQ(type, fw::kRegDword);
  EXPECT_EQ(Query(m_key.Get(), "Blob", &type), binary);
  EXPECT_EQ(type, fw::kRegBinary);
  EXPECT_EQ(Query(m_key.Get(), "Multi", &type), multi);
  EXPECT_EQ(type, fw::kRegMultiSz);
  fw::RegStatus status = -1;
  EXPECT_EQ(Query(m_key.Get(), "Empty", &type, &status), "");
  EXPECT_EQ(status, fw::kErrorSuccess);

  // Null data asks for the size only; the type is optional.
  std::uint32_t size = 0;
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "SMTP Server", nullptr, nullptr, &size), fw::kErrorSuccess);
  EXPECT_EQ(size, 17u);

  // Overwriting replaces type and data.
  ASSERT_EQ(SetString(m_key.Get(), "SMTP Port", "587"), fw::kErrorSuccess);
  EXPECT_EQ(Query(m_key.Get(), "SMTP Port", &type), "587\0"s);
  EXPECT_EQ(type, fw::kRegSz);
}

TEST_F(RegistryTest, TheUnnamedValueIsReachedByNullAndEmptyNames) {
  ASSERT_EQ(SetString(m_key.Get(), nullptr, "default"), fw::kErrorSuccess);
  EXPECT_EQ(Query(m_key.Get(), ""), "default\0"s);
  EXPECT_EQ(fw::RegDeleteValue(m_key.Get(), ""), fw::kErrorSuccess);
  fw::RegStatus status = 0;
  Query(m_key.Get(), nullptr, nullptr, &status);
  EXPECT_EQ(status, fw::kErrorFileNotFound);
}

TEST_F(RegistryTest, ShortBuffersGiveMoreDataWithTheNeededSize) {
  ASSERT_EQ(SetString(m_key.Get(), "Subject", "Notification"), fw::kErrorSuccess);  // 13 bytes
  char buffer[64] = {};
  std::uint32_t type = 0;
  std::uint32_t size = 12;
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "Subject", &type, buffer, &size), fw::kErrorMoreData);
  EXPECT_EQ(size, 13u);
  size = 13;
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "Subject", &type, buffer, &size), fw::kErrorSuccess);
  EXPECT_STREQ(buffer, "Notification");
  size = 64;
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "Subject", &type, buffer, &size), fw::kErrorSuccess);
  EXPECT_EQ(size, 13u);

  // Enumerating values: data too small.
  char name[64];
  std::uint32_t nameSize = sizeof name;
  size = 4;
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, &type, buffer, &size), fw::kErrorMoreData);
  EXPECT_EQ(size, 13u);
  // Name too small (the size counts the terminator on the way in).
  nameSize = 7;
  size = sizeof buffer;
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, &type, buffer, &size), fw::kErrorMoreData);
  nameSize = 8;
  size = sizeof buffer;
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, &type, buffer, &size), fw::kErrorSuccess);
  EXPECT_STREQ(name, "Subject");
  EXPECT_EQ(nameSize, 7u);
  EXPECT_EQ(size, 13u);

  // Enumerating keys: the size counts the terminator.
  fw::RegKey child;
  ASSERT_EQ(child.Create(m_key.Get(), "Configurations"), fw::kErrorSuccess);  // 14 characters
  EXPECT_EQ(fw::RegEnumKey(m_key.Get(), 0, name, 14), fw::kErrorMoreData);
  EXPECT_EQ(fw::RegEnumKey(m_key.Get(), 0, name, 15), fw::kErrorSuccess);
  EXPECT_STREQ(name, "Configurations");
}

TEST_F(RegistryTest, MissingItemsAndTheEndOfEnumerations) {
  fw::RegStatus status = 0;
  Query(m_key.Get(), "Nothing", nullptr, &status);
  EXPECT_EQ(status, fw::kErrorFileNotFound);
  EXPECT_EQ(fw::RegDeleteValue(m_key.Get(), "Nothing"), fw::kErrorFileNotFound);
  fw::RegKey missing;
  EXPECT_EQ(missing.Open(m_key.Get(), "No\\Such\\Key"), fw::kErrorFileNotFound);
  EXPECT_FALSE(missing);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "No"), fw::kErrorFileNotFound);

  char name[64];
  std::uint32_t nameSize = sizeof name;
  EXPECT_EQ(fw::RegEnumKey(m_key.Get(), 0, name, sizeof name), fw::kErrorNoMoreItems);
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, nullptr, nullptr, nullptr), fw::kErrorNoMoreItems);
  ASSERT_EQ(SetDword(m_key.Get(), "One", 1), fw::kErrorSuccess);
  nameSize = sizeof name;
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, nullptr, nullptr, nullptr), fw::kErrorSuccess);
  nameSize = sizeof name;
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 1, name, &nameSize, nullptr, nullptr, nullptr), fw::kErrorNoMoreItems);
}

TEST_F(RegistryTest, NamesMatchIgnoringCaseAlsoForUmlauts) {
  fw::RegKey created;
  ASSERT_EQ(created.Create(m_key.Get(), "Konfiguration \xC4nderung\\M\xFCnchen"), fw::kErrorSuccess);
  ASSERT_EQ(SetString(created.Get(),
                      "Gr\xD6\xDF"
                      "e",
                      "1"),
            fw::kErrorSuccess);

  fw::RegKey opened;
  ASSERT_EQ(opened.Open(m_key.Get(), "KONFIGURATION \xE4NDERUNG\\m\xDCNCHEN"), fw::kErrorSuccess);
  EXPECT_EQ(Query(opened.Get(),
                  "gr\xF6\xDF"
                  "E"),
            "1\0"s);
  // Setting under another case changes the one value.
  ASSERT_EQ(SetString(opened.Get(),
                      "GR\xD6\xDF"
                      "E",
                      "2"),
            fw::kErrorSuccess);
  EXPECT_EQ(Query(created.Get(),
                  "Gr\xD6\xDF"
                  "e"),
            "2\0"s);
  char name[64];
  std::uint32_t nameSize = sizeof name;
  EXPECT_EQ(fw::RegEnumValue(created.Get(), 1, name, &nameSize, nullptr, nullptr, nullptr), fw::kErrorNoMoreItems);

  // Creating under another case opens the existing key, which keeps its first spelling.
  fw::RegKey again;
  ASSERT_EQ(again.Create(m_key.Get(), "konfiguration \xE4nderung"), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegEnumKey(m_key.Get(), 0, name, sizeof name), fw::kErrorSuccess);
  EXPECT_STREQ(name, "Konfiguration \xC4nderung");
  EXPECT_EQ(fw::RegEnumKey(m_key.Get(), 1, name, sizeof name), fw::kErrorNoMoreItems);
}

TEST_F(RegistryTest, SubkeysEnumerateAlphabeticallyIgnoringCase) {
  for (const char* name : {"gamma", "Beta", "alpha", "ALPHA2", "Delta"}) {
    fw::RegKey key;
    ASSERT_EQ(key.Create(m_key.Get(), name), fw::kErrorSuccess);
  }
  std::vector<std::string> names;
  char name[64];
  for (std::uint32_t i = 0; fw::RegEnumKey(m_key.Get(), i, name, sizeof name) == fw::kErrorSuccess; ++i) {
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "ALPHA2", "Beta", "Delta", "gamma"}));
}

TEST_F(RegistryTest, EveryValueIsEnumeratedWithItsTypeAndData) {
  ASSERT_EQ(SetString(m_key.Get(), "From Email", "a@example.org"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(m_key.Get(), "Log Lines", 100), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(m_key.Get(), "Notify When", 1), fw::kErrorSuccess);

  std::map<std::string, std::pair<std::uint32_t, std::string>> seen;
  for (std::uint32_t i = 0;; ++i) {
    char name[512];
    char data[4096];
    std::uint32_t nameSize = sizeof name;
    std::uint32_t dataSize = sizeof data;
    std::uint32_t type = 0;
    const fw::RegStatus status = fw::RegEnumValue(m_key.Get(), i, name, &nameSize, &type, data, &dataSize);
    if (status == fw::kErrorNoMoreItems) break;
    ASSERT_EQ(status, fw::kErrorSuccess);
    EXPECT_EQ(nameSize, std::string(name).size());
    seen[name] = {type, std::string(data, dataSize)};
  }
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen["From Email"], std::make_pair(fw::kRegSz, "a@example.org\0"s));
  EXPECT_EQ(seen["Log Lines"], std::make_pair(fw::kRegDword, "\x64\0\0\0"s));
  EXPECT_EQ(seen["Notify When"], std::make_pair(fw::kRegDword, "\x01\0\0\0"s));
}

TEST_F(RegistryTest, CreateMakesMissingParentsAndDeleteRefusesKeysWithSubkeys) {
  fw::RegKey leaf;
  ASSERT_EQ(leaf.Create(m_key.Get(), "Configurations\\main\\sub"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(leaf.Get(), "Value", 7), fw::kErrorSuccess);
  fw::RegKey middle;
  ASSERT_EQ(middle.Open(m_key.Get(), "Configurations\\main"), fw::kErrorSuccess);

  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations\\main"), fw::kErrorAccessDenied);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations"), fw::kErrorAccessDenied);
  EXPECT_EQ(Query(leaf.Get(), "Value"), "\x07\0\0\0"s);

  EXPECT_EQ(fw::RegDeleteKey(middle.Get(), "sub"), fw::kErrorSuccess);  // values go with the key
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations\\main"), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations\\main"), fw::kErrorFileNotFound);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations"), fw::kErrorSuccess);
}

TEST_F(RegistryTest, AHandleToADeletedKeyFails) {
  fw::RegKey victim;
  ASSERT_EQ(victim.Create(m_key.Get(), "Victim"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(victim.Get(), "Before", 1), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegDeleteKey(m_key.Get(), "Victim"), fw::kErrorSuccess);

  fw::RegStatus status = 0;
  Query(victim.Get(), "Before", nullptr, &status);
  EXPECT_EQ(status, fw::kErrorKeyDeleted);
  EXPECT_EQ(SetDword(victim.Get(), "After", 2), fw::kErrorKeyDeleted);
  fw::RegKey child;
  EXPECT_EQ(child.Create(victim.Get(), "Child"), fw::kErrorKeyDeleted);

  // A new key of the same name is another key: the old handle stays dead, the new key empty.
  fw::RegKey reborn;
  ASSERT_EQ(reborn.Create(m_key.Get(), "Victim"), fw::kErrorSuccess);
  EXPECT_EQ(SetDword(victim.Get(), "After", 2), fw::kErrorKeyDeleted);
  Query(reborn.Get(), "Before", nullptr, &status);
  EXPECT_EQ(status, fw::kErrorFileNotFound);
}

TEST_F(RegistryTest, RegKeyOwnsItsHandle) {
  fw::RegKey first;
  ASSERT_EQ(first.Create(m_key.Get(), "Owned"), fw::kErrorSuccess);
  fw::RegKey second(std::move(first));
  EXPECT_FALSE(first);
  ASSERT_TRUE(second);
  first = std::move(second);
  EXPECT_EQ(SetDword(first.Get(), "Moved", 1), fw::kErrorSuccess);
  fw::HKEY raw = first.Release();
  EXPECT_FALSE(first);
  EXPECT_EQ(fw::RegCloseKey(raw), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegOpenKey(m_key.Get(), "Owned", first.Receive()), fw::kErrorSuccess);
  EXPECT_EQ(Query(first.Get(), "Moved"), "\x01\0\0\0"s);
  // A failed open leaves the wrapper empty.
  EXPECT_NE(first.Open(m_key.Get(), "Absent"), fw::kErrorSuccess);
  EXPECT_FALSE(first);
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kValues = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      fw::RegKey key;
      if (key.Create(fw::HKeyCurrentUser(), (m_path + "\\Shared").c_str()) != fw::kErrorSuccess) return;
      for (int i = 0; i < kValues; ++i) {
        const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        SetDword(key.Get(), name.c_str(), static_cast<std::uint32_t>(i));
        SetDword(key.Get(), "Last", static_cast<std::uint32_t>(t));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  fw::RegKey shared;
  ASSERT_EQ(shared.Open(m_key.Get(), "Shared"), fw::kErrorSuccess);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kValues; ++i) {
      const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
      EXPECT_EQ(Query(shared.Get(), name.c_str()), std::string({static_cast<char>(i), 0, 0, 0})) << name;
    }
  }
  EXPECT_EQ(Query(shared.Get(), "Last").size(), 4u);
}

}  // namespace
