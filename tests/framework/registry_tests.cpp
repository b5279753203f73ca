// The registry on both backends: typed values, names that differ in case, the rules for
// deleting keys, deleted keys behind handles; then the database file of the posix backend: its
// location, and other processes writing at once. Short buffers and enumeration with growing
// buffers are exercised by the settings store's key moves.
#include <gtest/gtest.h>

#include <random>

#include "framework/filesystem.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace std::string_literals;
using Names = std::vector<std::string>;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(m_key.Create(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorSuccess); }
  void TearDown() override {
    m_key.Close();
    qbtest::DeleteKeyTree(fw::HKeyCurrentUser(), m_path);
    fw::RegDeleteKey(fw::HKeyCurrentUser(), "Software\\QBNotifyTests");  // fails while other tests use it
  }

  static fw::RegStatus SetString(fw::HKEY key, const char* name, const std::string& value) {
    return fw::RegSetValue(key, name, fw::kRegSz, value.c_str(), static_cast<std::uint32_t>(value.size() + 1));
  }
  static fw::RegStatus SetDword(fw::HKEY key, const char* name, std::uint32_t value) {
    return fw::RegSetValue(key, name, fw::kRegDword, &value, sizeof value);
  }
  // The value's bytes; empty with `status` set when the query fails.
  static std::string Query(fw::HKEY key, const char* name, std::uint32_t* type = nullptr,
                           fw::RegStatus* status = nullptr) {
    std::uint32_t size = 0;
    fw::RegStatus result = fw::RegQueryValue(key, name, type, nullptr, &size);
    std::string data(size, '\0');
    if (result == fw::kErrorSuccess) result = fw::RegQueryValue(key, name, type, data.data(), &size);
    if (status != nullptr) *status = result;
    return result == fw::kErrorSuccess ? data.substr(0, size) : std::string();
  }
  static Names Subkeys(fw::HKEY key) {
    Names names;
    char name[512];
    for (std::uint32_t i = 0; fw::RegEnumKey(key, i, name, sizeof name) == fw::kErrorSuccess; ++i)
      names.push_back(name);
    return names;
  }
  static Names Values(fw::HKEY key) {
    Names names;
    char name[512];
    for (std::uint32_t i = 0;; ++i) {
      std::uint32_t size = sizeof name;
      if (fw::RegEnumValue(key, i, name, &size, nullptr, nullptr, nullptr) != fw::kErrorSuccess) return names;
      names.push_back(name);
    }
  }

  qbtest::ScopedRegistry m_registry;
  const std::string m_path = "Software\\QBNotifyTests\\" +
                             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                             std::to_string(std::random_device()());
  fw::RegKey m_key;
};

// Texts, numbers and binary values of any size also go through the registry in qbhost's tests.
TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytesAndMissingOnesAreReported) {
  const std::string multi = "one\0two\0\0"s;
  ASSERT_EQ(fw::RegSetValue(m_key.Get(), "Multi", fw::kRegMultiSz, multi.data(), 9), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegSetValue(m_key.Get(), "Empty", fw::kRegBinary, nullptr, 0), fw::kErrorSuccess);
  ASSERT_EQ(SetString(m_key.Get(), nullptr, "default"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(m_key.Get(), "SMTP Port", 25), fw::kErrorSuccess);
  std::uint32_t type = 99;
  EXPECT_EQ(Query(m_key.Get(), "Multi", &type) + Query(m_key.Get(), "Empty") + Query(m_key.Get(), ""),
            multi + "default\0"s);
  EXPECT_EQ(type, fw::kRegMultiSz);
  ASSERT_EQ(SetString(m_key.Get(), "SMTP Port", "587"), fw::kErrorSuccess);  // replaces type and data
  EXPECT_EQ(Query(m_key.Get(), "SMTP Port", &type), "587\0"s);
  EXPECT_EQ(type, fw::kRegSz);

  fw::RegStatus status = 0;
  Query(m_key.Get(), "Nothing", nullptr, &status);
  EXPECT_EQ(status, fw::kErrorFileNotFound);
  EXPECT_EQ(fw::RegDeleteValue(m_key.Get(), "Nothing"), fw::kErrorFileNotFound);
  fw::RegKey missing;
  EXPECT_EQ(missing.Open(m_key.Get(), "No\\Such\\Key"), fw::kErrorFileNotFound);
}

TEST_F(RegistryTest, NamesMatchIgnoringCaseAlsoForUmlautsAndKeepTheirFirstSpelling) {
  for (const char* name : {"gamma", "Beta", "alpha", "ALPHA2", "\xC4nderung\\M\xFCnchen", "\xE4NDERUNG"}) {
    fw::RegKey key;
    ASSERT_EQ(key.Create(m_key.Get(), name), fw::kErrorSuccess);
  }
  EXPECT_EQ(Subkeys(m_key.Get()), (Names{"alpha", "ALPHA2", "Beta", "gamma", "\xC4nderung"}));

  fw::RegKey created, opened;
  ASSERT_EQ(created.Open(m_key.Get(), "\xC4nderung\\M\xFCnchen"), fw::kErrorSuccess);
  ASSERT_EQ(SetString(created.Get(), "Gr\xD6\xDF!", "1"), fw::kErrorSuccess);
  ASSERT_EQ(opened.Open(m_key.Get(), "\xE4NDERUNG\\m\xDCNCHEN"), fw::kErrorSuccess);
  EXPECT_EQ(Query(opened.Get(), "gr\xF6\xDF!"), "1\0"s);
  ASSERT_EQ(SetString(opened.Get(), "GR\xD6\xDF!", "2"), fw::kErrorSuccess);  // the same value
  EXPECT_EQ(Values(created.Get()), Names{"Gr\xD6\xDF!"});
  EXPECT_EQ(Query(created.Get(), "Gr\xD6\xDF!"), "2\0"s);
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

TEST_F(RegistryTest, PathsResolveAsWindowsResolvesThemAndRegSplitPathAgrees) {
  fw::RegKey leaf;
  ASSERT_EQ(leaf.Create(m_key.Get(), "Inner\\Leaf"), fw::kErrorSuccess);
  ASSERT_EQ(SetString(leaf.Get(), "Where", "leaf"), fw::kErrorSuccess);
  ASSERT_EQ(SetString(m_key.Get(), "Where", "top"), fw::kErrorSuccess);
  const struct {
    const char* path;
    const char* reached;  // null: refused with kErrorBadPathname
  } cases[] = {
      {"Inner\\Leaf", "leaf"},
      {"Inner\\Leaf\\", "leaf"},
      {"Inner\\\\Leaf\\\\", "leaf"},
      {"iNNER\\\\lEAF", "leaf"},
      {"", "top"},
      {"\\Inner\\Leaf", nullptr},
      {"\\\\Inner\\Leaf", nullptr},
      {"\\", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const fw::RegStatus expected = c.reached ? fw::kErrorSuccess : fw::kErrorBadPathname;
    std::vector<std::string_view> names;
    EXPECT_EQ(fw::RegSplitPath(c.path, names), expected);
    fw::RegKey opened, created;
    EXPECT_EQ(opened.Open(m_key.Get(), c.path), expected);
    EXPECT_EQ(created.Create(m_key.Get(), c.path), expected);
    if (c.reached) {
      EXPECT_EQ(Query(opened.Get(), "Where"), c.reached + "\0"s);
      EXPECT_EQ(fw::RegPathContains(m_path + "\\Inner\\Leaf", m_path + "\\" + c.path), *c.reached == 'l');
    } else {
      EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), c.path), fw::kErrorBadPathname);
    }
  }
  EXPECT_TRUE(fw::RegPathContains("A\\\\b", "a\\B\\c\\"));
  EXPECT_FALSE(fw::RegPathContains("A\\b\\c", "A\\b"));
  EXPECT_EQ(Subkeys(m_key.Get()), Names{"Inner"});
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), "inner\\\\LEAF\\"), fw::kErrorSuccess);
  EXPECT_EQ(leaf.Open(m_key.Get(), "Inner\\Leaf"), fw::kErrorFileNotFound);
}

TEST_F(RegistryTest, HandlesAreTheirOwnAndOneToADeletedKeyFailsEvenWhenTheNameComesBack) {
  for (const char* self : {static_cast<const char*>(nullptr), ""}) {  // reopening the key itself
    fw::RegKey opened, created;
    ASSERT_EQ(opened.Open(m_key.Get(), self), fw::kErrorSuccess);
    ASSERT_EQ(created.Create(m_key.Get(), self), fw::kErrorSuccess);
  }
  ASSERT_EQ(SetDword(m_key.Get(), "After", 1), fw::kErrorSuccess);  // closing the copies left it open

  fw::RegKey victim, reborn;  // a stale handle never reaches a key created again under its name
  ASSERT_EQ(victim.Create(m_key.Get(), "Victim"), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(victim.Get(), "Before", 1), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegDeleteKey(m_key.Get(), "Victim"), fw::kErrorSuccess);
  ASSERT_EQ(reborn.Create(m_key.Get(), "Victim"), fw::kErrorSuccess);
  EXPECT_EQ(SetDword(victim.Get(), "After", 2), fw::kErrorKeyDeleted);
  EXPECT_EQ(Values(reborn.Get()), Names{});
}

#if !defined(_WIN32)
// Writers that open the key for each write, as the settings store does.
int WriteValues(const std::string& path, const std::string& prefix, int count) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    fw::RegKey key;
    failures += key.Create(fw::HKeyCurrentUser(), path.c_str()) != fw::kErrorSuccess;
    failures += fw::RegSetValue(key.Get(), (prefix + std::to_string(i)).c_str(), fw::kRegDword, &i, 4) != 0;
  }
  return failures;
}

TEST(RegistryLocation, DefaultsToTheConfigurationDirectoryAndLeavesBadFilesAlone) {
  qbtest::TempDir dir;
  qbtest::ScopedEnv env("QBNOTIFY_REGISTRY", nullptr);
  env.Set("XDG_CONFIG_HOME", dir.File("xdg").c_str());
  fw::RegKey key;
  const mode_t umask = ::umask(0);  // the modes come from the code, not from the umask
  ASSERT_EQ(key.Create(fw::HKeyUsers(), ".DEFAULT\\Software"), fw::kErrorSuccess);
  ::umask(umask);
  for (const auto& [path, mode] : {std::pair{"xdg", 0700u},
                                   {"xdg/qbnotify", 0700u},
                                   {"xdg/qbnotify/registry.sqlite3", 0600u},
                                   {"xdg/qbnotify/registry.sqlite3-wal", 0600u}}) {
    struct stat info {};
    EXPECT_EQ(::stat(dir.File(path).c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 0777, mode) << path << " is not the owner's alone";
  }
  env.Set("XDG_CONFIG_HOME", nullptr);
  env.Set("HOME", dir.File("home").c_str());
  ASSERT_EQ(key.Create(fw::HKeyLocalMachine(), "SOFTWARE"), fw::kErrorSuccess);
  EXPECT_TRUE(fw::PathExists(dir.File("home/.config/qbnotify/registry.sqlite3")));

  // A file that is no database fails every call and stays untouched; so does a bad path.
  const std::string garbage = dir.File("garbage.sqlite3");
  qbtest::WriteBytes(garbage, std::string(4096, 'x'));
  for (const std::string& path : {garbage, garbage + "/registry.sqlite3"}) {
    env.Set("QBNOTIFY_REGISTRY", path.c_str());
    EXPECT_NE(key.Create(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess) << path;
    EXPECT_NE(key.Open(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess) << path;
  }
  EXPECT_EQ(qbtest::ReadBytes(garbage), std::string(4096, 'x'));
}

TEST_F(RegistryTest, OtherProcessesWritingAtOnceLoseNothing) {
  std::vector<pid_t> children;
  for (int c = 0; c < 3; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(WriteValues(m_path + "\\Shared", "p" + std::to_string(c) + "-", 40));
    children.push_back(pid);
  }
  EXPECT_EQ(WriteValues(m_path + "\\Shared", "parent-", 40), 0);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  fw::RegKey key;
  ASSERT_EQ(key.Open(m_key.Get(), "Shared"), fw::kErrorSuccess);
  EXPECT_EQ(Values(key.Get()).size(), 160u);
}
#endif

}  // namespace
