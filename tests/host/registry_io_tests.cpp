// .reg files applied to and exported from the registry through the framework's registry
// functions: an exact round trip of large and Windows-1252 values, deletions and subtrees.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "host/registry_io.h"

namespace qbhost {
namespace {

const std::string kTestKey = "HKEY_CURRENT_USER\\Software\\QBHost Tests";

// Keys and their values regardless of enumeration order (which differs between backends).
using Snapshot = std::map<std::string, std::map<std::string, std::pair<std::uint32_t, std::string>>>;

Snapshot SnapshotOf(const RegFile& file) {
  Snapshot snapshot;
  for (const RegFileKey& key : file.keys) {
    auto& values = snapshot[key.path];
    for (const RegFileValue& value : key.values) values[value.name] = {value.type, value.data};
  }
  return snapshot;
}

class RegistryIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if !defined(_WIN32)
    m_database = std::filesystem::temp_directory_path() /
                 ("qbhost-registry-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".sqlite3");
    std::filesystem::remove(m_database);
    ::setenv("QBNOTIFY_REGISTRY", m_database.c_str(), 1);
#endif
    DeleteTree(ParseKeyPath(kTestKey));
  }
  void TearDown() override {
    DeleteTree(ParseKeyPath(kTestKey));
#if !defined(_WIN32)
    // The database's write-ahead log and shared memory too.
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(m_database.string() + suffix);
#endif
  }
  static void Import(const std::string& text) {
    ApplyRegFile(ParseRegFile(text, "t.reg"), "t.reg");
  }

  std::filesystem::path m_database;
};

TEST_F(RegistryIoTest, ImportThenExportGivesBackEveryValueExactly) {
  std::string big;
  for (int i = 0; i < 100000; ++i) big += static_cast<char>('a' + i % 26);
  RegFile source;
  source.keys.push_back({kTestKey, false, 0, {}});
  source.keys[0].values = {
      {"SMTP Server", false, fw::kRegSz, std::string("m\xfc\x80ller \"\\srv\"") + '\0', 0},
      {"SMTP Port", false, fw::kRegDword, std::string("\x19\0\0\0", 4), 0},
      {"", false, fw::kRegSz, std::string("default") + '\0', 0},
      {"Big text", false, fw::kRegSz, big + '\0', 0},
      {"Big binary", false, fw::kRegBinary, big.substr(0, 70000), 0},
      {std::string(300, 'N') + "\xe9", false, fw::kRegBinary, "\x01", 0},
      {"Lines", false, fw::kRegSz, std::string("a\r\nb") + '\0', 0},
  };
  source.keys.push_back({kTestKey + "\\Configurations", false, 0, {}});
  source.keys.push_back({kTestKey + "\\Configurations\\Gl\xf6"
                                    "bal",
                         false,
                         0,
                         {}});
  source.keys[2].values = {{"Notify When", false, fw::kRegDword, std::string("\x01\0\0\0", 4), 0}};
  source.keys.push_back({kTestKey + "\\Configurations\\Empty", false, 0, {}});

  std::string text = WriteRegFile(source);
  Import(text);
  RegFile exported = ExportTree(ParseKeyPath(kTestKey));
  // (EXPECT_TRUE: a printed difference of these values would be megabytes long.)
  EXPECT_TRUE(SnapshotOf(exported) == SnapshotOf(source)) << WriteRegFile(exported).substr(0, 2000);
  // A second import of the export changes nothing.
  Import(WriteRegFile(exported));
  EXPECT_TRUE(SnapshotOf(ExportTree(ParseKeyPath(kTestKey))) == SnapshotOf(source));
}

TEST_F(RegistryIoTest, DeletionsOfValuesAndSubtrees) {
  Import("REGEDIT4\n[" + kTestKey + "\\A\\B\\C]\n\"x\"=\"1\"\n[" + kTestKey +
         "\\A]\n\"keep\"=dword:1\n\"drop\"=\"2\"\n");
  Import("REGEDIT4\n[" + kTestKey + "\\A]\n\"drop\"=-\n\"missing\"=-\n[-" + kTestKey + "\\A\\B]\n[-" + kTestKey +
         "\\Never]\n");
  Snapshot expected;
  expected[kTestKey] = {};
  expected[kTestKey + "\\A"]["keep"] = {fw::kRegDword, std::string("\x01\0\0\0", 4)};
  EXPECT_EQ(SnapshotOf(ExportTree(ParseKeyPath(kTestKey))), expected);

  EXPECT_TRUE(DeleteTree(ParseKeyPath(kTestKey)));
  EXPECT_FALSE(DeleteTree(ParseKeyPath(kTestKey)));
  EXPECT_THROW(ExportTree(ParseKeyPath(kTestKey)), RegistryError);
  EXPECT_THROW(DeleteTree(ParseKeyPath("HKEY_CURRENT_USER")), RegistryError);
}

TEST_F(RegistryIoTest, SetQueryAndDeleteSingleValues) {
  KeyPath path = ParseKeyPath("HKCU\\Software\\QBHost Tests\\Single");
  EXPECT_EQ(path.Full(), kTestKey + "\\Single");
  SetValue(path, "Log Lines", fw::kRegDword, std::string("\xe8\x03\0\0", 4));
  RegFileKey key = ReadKey(path);
  ASSERT_EQ(key.values.size(), 1u);
  EXPECT_EQ(FormatRegValue(key.values[0].name, key.values[0].type, key.values[0].data), "\"Log Lines\"=dword:000003e8");
  EXPECT_TRUE(DeleteValue(path, "log lines"));
  EXPECT_FALSE(DeleteValue(path, "log lines"));
  EXPECT_TRUE(ReadKey(path).values.empty());
}

}  // namespace
}  // namespace qbhost
