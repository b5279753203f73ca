// The registry functions: typed values and their sizes, short buffers, enumeration, names
// that differ in case, and the rules for deleting keys.
#include <thread>
#include <vector>

#include "registry_test_support.h"

namespace {

using fw_test::RegistryTest;
using namespace std::string_literals;

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytes) {
  const std::string multi = "one\0two\0\0"s;
  ASSERT_EQ(SetString(m_key.Get(), "SMTP Server", "smtp.example.org"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(m_key.Get(), "SMTP Port", 0x01020304), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegSetValue(m_key.Get(), "Multi", fw::kRegMultiSz, multi.data(), 9), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegSetValue(m_key.Get(), "Empty", fw::kRegBinary, nullptr, 0), fw::kErrorSuccess);
  ASSERT_EQ(SetString(m_key.Get(), nullptr, "default"), fw::kErrorSuccess);

  std::uint32_t type = 99;
  EXPECT_EQ(Query(m_key.Get(), "SMTP Server", &type), "smtp.example.org\0"s);
  EXPECT_EQ(type, fw::kRegSz);
  EXPECT_EQ(Query(m_key.Get(), "SMTP Port", &type), "\x04\x03\x02\x01"s);
  EXPECT_EQ(type, fw::kRegDword);
  EXPECT_EQ(Query(m_key.Get(), "Multi", &type), multi);
  EXPECT_EQ(type, fw::kRegMultiSz);
  fw::RegStatus status = -1;
  EXPECT_EQ(Query(m_key.Get(), "Empty", &type, &status), "");
  EXPECT_EQ(status, fw::kErrorSuccess);
  EXPECT_EQ(Query(m_key.Get(), ""), "default\0"s);  // null and "" name the unnamed value

  // Overwriting replaces type and data.
  ASSERT_EQ(SetString(m_key.Get(), "SMTP Port", "587"), fw::kErrorSuccess);
  EXPECT_EQ(Query(m_key.Get(), "SMTP Port", &type), "587\0"s);
  EXPECT_EQ(type, fw::kRegSz);
}

TEST_F(RegistryTest, ShortBuffersGiveMoreDataWithTheNeededSize) {
  ASSERT_EQ(SetString(m_key.Get(), "Subject", "Notification"), fw::kErrorSuccess);  // 13 bytes
  char data[64] = {};
  std::uint32_t type = 0;
  std::uint32_t size = 12;
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "Subject", &type, data, &size), fw::kErrorMoreData);
  EXPECT_EQ(size, 13u);
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "Subject", &type, data, &size), fw::kErrorSuccess);
  EXPECT_STREQ(data, "Notification");
  size = 0;
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "Subject", nullptr, nullptr, &size), fw::kErrorSuccess);
  EXPECT_EQ(size, 13u);

  char name[64];
  std::uint32_t nameSize = sizeof name;
  size = 4;
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, &type, data, &size), fw::kErrorMoreData);
  EXPECT_EQ(size, 13u);
  nameSize = 7;  // counts the terminator on the way in, not on the way out
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, &type, data, &size), fw::kErrorMoreData);
  nameSize = 8;
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, &type, data, &size), fw::kErrorSuccess);
  EXPECT_STREQ(name, "Subject");
  EXPECT_EQ(nameSize, 7u);

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

  char name[64];
  std::uint32_t nameSize = sizeof name;
  EXPECT_EQ(fw::RegEnumKey(m_key.Get(), 0, name, sizeof name), fw::kErrorNoMoreItems);
  EXPECT_EQ(fw::RegEnumValue(m_key.Get(), 0, name, &nameSize, nullptr, nullptr, nullptr), fw::kErrorNoMoreItems);
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
  ASSERT_EQ(SetString(opened.Get(),
                      "GR\xD6\xDF"
                      "E",
                      "2"),
            fw::kErrorSuccess);  // the same value
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
  std::vector<std::string> keys;
  char name[512];
  for (std::uint32_t i = 0; fw::RegEnumKey(m_key.Get(), i, name, sizeof name) == fw::kErrorSuccess; ++i) {
    keys.push_back(name);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"alpha", "ALPHA2", "Beta", "Delta", "gamma"}));
}

TEST_F(RegistryTest, CreateMakesMissingParentsAndDeleteRefusesKeysWithSubkeys) {
  fw::RegKey leaf;
  ASSERT_EQ(leaf.Create(m_key.Get(), "Configurations\\main\\sub"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(leaf.Get(), "Value", 7), fw::kErrorSuccess);

  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations\\main"), fw::kErrorAccessDenied);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations"), fw::kErrorAccessDenied);
  EXPECT_EQ(Query(leaf.Get(), "Value"), "\x07\0\0\0"s);

  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations\\main\\sub"), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations\\main"), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations\\main"), fw::kErrorFileNotFound);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "Configurations"), fw::kErrorSuccess);
}

TEST_F(RegistryTest, AHandleToADeletedKeyFailsEvenWhenTheNameIsCreatedAgain) {
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

  fw::RegKey reborn;
  ASSERT_EQ(reborn.Create(m_key.Get(), "Victim"), fw::kErrorSuccess);
  EXPECT_EQ(SetDword(victim.Get(), "After", 2), fw::kErrorKeyDeleted);
  Query(reborn.Get(), "Before", nullptr, &status);
  EXPECT_EQ(status, fw::kErrorFileNotFound);
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kValues = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kValues; ++i) {
        fw::RegKey key;  // each write opens its key, as the settings store does
        key.Create(fw::HKeyCurrentUser(), (m_path + "\\Shared").c_str());
        SetDword(key.Get(), ("t" + std::to_string(t) + "-" + std::to_string(i)).c_str(), static_cast<std::uint32_t>(i));
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
}

}  // namespace
