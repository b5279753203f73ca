// POSIX backend: registry file location and switching, fault seams, creation order of values,
// other processes writing at once, damaged databases; ISO dates under the C locale; write
// errors of a full disk.
#if !defined(_WIN32)

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/posix/fault_injection.h"
#include "framework/stdio_file.h"
#include "registry_test_support.h"

namespace {

using fw_test::RegistryTest;
using namespace std::string_literals;
namespace faults = fw::posix::faults;

// Sets environment variables for one test and restores them afterwards.
class ScopedEnv {
 public:
  ~ScopedEnv() {
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
      it->second ? setenv(it->first.c_str(), it->second->c_str(), 1) : unsetenv(it->first.c_str());
    }
  }
  void Set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    m_saved.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

class PosixRegistryTest : public RegistryTest {
 protected:
  void TearDown() override {
    faults::Reset();
    RegistryTest::TearDown();
  }
};

TEST_F(PosixRegistryTest, ValuesEnumerateInCreationOrderAndKeepTheirPlace) {
  for (const char* name : {"Zulu", "alpha", "Mike", "ZULU"}) ASSERT_EQ(SetDword(m_key.Get(), name, 1), 0);
  std::vector<std::string> names;
  char name[64];
  std::uint32_t nameSize = sizeof name;
  for (std::uint32_t i = 0; fw::RegEnumValue(m_key.Get(), i, name, &nameSize, nullptr, nullptr, nullptr) == 0; ++i) {
    names.push_back(name);
    nameSize = sizeof name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Zulu", "alpha", "Mike"}));
}

TEST_F(PosixRegistryTest, UnknownAndClosedHandlesAreRejected) {
  fw::HKEY bogus = reinterpret_cast<fw::HKEY>(std::uintptr_t{0x7777});
  EXPECT_EQ(SetDword(bogus, "x", 1), fw::kErrorInvalidHandle);
  EXPECT_EQ(fw::RegCloseKey(nullptr), fw::kErrorInvalidHandle);
  fw::HKEY copy = nullptr;
  ASSERT_EQ(fw::RegOpenKey(m_key.Get(), nullptr, &copy), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegCloseKey(copy), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegCloseKey(copy), fw::kErrorInvalidHandle);
  EXPECT_EQ(fw::RegCloseKey(fw::HKeyUsers()), fw::kErrorSuccess);  // roots stay usable
  EXPECT_EQ(fw::RegDeleteKey(fw::HKeyUsers(), ""), fw::kErrorAccessDenied);
  char data[4];
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "x", nullptr, data, nullptr), fw::kErrorInvalidParameter);
}

TEST_F(PosixRegistryTest, FaultSeamsFailTheNextCalls) {
  faults::FailNext(faults::Op::RegistryOpen, fw::kErrorAccessDenied);
  fw::RegKey key;
  EXPECT_EQ(key.Open(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorAccessDenied);
  EXPECT_EQ(key.Open(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorSuccess);

  faults::FailNext(faults::Op::RegistryWrite, 1016, 2);
  EXPECT_EQ(SetString(key.Get(), "Subject", "x"), 1016);
  EXPECT_EQ(fw::RegCreateKey(key.Get(), "Sub", fw::RegKey().Receive()), 1016);
  EXPECT_EQ(SetString(key.Get(), "Subject", "y"), fw::kErrorSuccess);
  EXPECT_EQ(Query(key.Get(), "Subject"), "y\0"s);
}

TEST_F(PosixRegistryTest, TheDatabaseFollowsTheEnvironmentVariable) {
  ASSERT_EQ(SetDword(m_key.Get(), "Here", 1), fw::kErrorSuccess);
  fw_test::TempDir other;
  ScopedEnv env;
  env.Set("QBNOTIFY_REGISTRY", other.File("other.sqlite3").c_str());
  fw::RegKey key;
  EXPECT_EQ(key.Open(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorFileNotFound);
  EXPECT_EQ(SetDword(m_key.Get(), "Here", 2), fw::kErrorInvalidHandle);  // handles die with their database
  EXPECT_TRUE(fw::PathExists(other.File("other.sqlite3")));
  m_key.Release();

  env.Set("QBNOTIFY_REGISTRY", m_dir.File("registry.sqlite3").c_str());
  ASSERT_EQ(m_key.Open(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorSuccess);
  EXPECT_EQ(Query(m_key.Get(), "Here"), "\x01\0\0\0"s);
}

TEST(PosixRegistryLocationTest, DefaultsToTheConfigurationDirectoryAndSurvivesBadFiles) {
  fw_test::TempDir dir;
  ScopedEnv env;
  env.Set("QBNOTIFY_REGISTRY", nullptr);
  env.Set("XDG_CONFIG_HOME", dir.File("xdg").c_str());
  fw::RegKey key;
  ASSERT_EQ(key.Create(fw::HKeyUsers(), ".DEFAULT\\Software"), fw::kErrorSuccess);
  EXPECT_TRUE(fw::PathExists(dir.File("xdg/qbnotify/registry.sqlite3")));
  env.Set("XDG_CONFIG_HOME", nullptr);
  env.Set("HOME", dir.File("home").c_str());
  ASSERT_EQ(key.Create(fw::HKeyLocalMachine(), "SOFTWARE"), fw::kErrorSuccess);
  EXPECT_TRUE(fw::PathExists(dir.File("home/.config/qbnotify/registry.sqlite3")));

  // A file that is no database fails every call and stays untouched; so does a bad path.
  const std::string garbage = dir.File("garbage.sqlite3");
  fw_test::WriteBytes(garbage, std::string(4096, 'x'));
  env.Set("QBNOTIFY_REGISTRY", garbage.c_str());
  EXPECT_NE(key.Create(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess);
  EXPECT_NE(key.Open(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess);
  EXPECT_EQ(fw_test::ReadBytes(garbage), std::string(4096, 'x'));
  env.Set("QBNOTIFY_REGISTRY", (garbage + "/registry.sqlite3").c_str());
  EXPECT_NE(key.Create(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess);
}

TEST_F(PosixRegistryTest, OtherProcessesWritingAtOnceLoseNothing) {
  constexpr int kChildren = 3;
  constexpr int kValues = 40;
  const std::string shared = m_path + "\\Shared";
  auto writeValues = [&shared](const std::string& prefix) {
    int failures = 0;
    for (int i = 0; i < kValues; ++i) {
      fw::RegKey key;  // each write opens its key, as the settings store does
      failures += key.Create(fw::HKeyCurrentUser(), shared.c_str()) != fw::kErrorSuccess;
      failures += SetDword(key.Get(), (prefix + std::to_string(i)).c_str(), static_cast<std::uint32_t>(i)) != 0;
    }
    return failures;
  };
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(writeValues("p" + std::to_string(c) + "-") == 0 ? 0 : 1);
    children.push_back(pid);
  }
  EXPECT_EQ(writeValues("parent-"), 0);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  fw::RegKey key;
  ASSERT_EQ(key.Open(fw::HKeyCurrentUser(), shared.c_str()), fw::kErrorSuccess);
  std::uint32_t count = 0;
  char name[64];
  for (std::uint32_t size = sizeof name;
       fw::RegEnumValue(key.Get(), count, name, &size, nullptr, nullptr, nullptr) == 0; size = sizeof name) {
    ++count;
  }
  EXPECT_EQ(count, static_cast<std::uint32_t>((kChildren + 1) * kValues));
}

TEST(PosixClockTest, TheCLocaleGivesIsoDatesAndTimes) {
  const fw::CalendarTime t{2026, 12, 6, 14, 5, 9, 0};
  ScopedEnv env;
  env.Set("LC_TIME", "de_DE.UTF-8");
  for (const char* c : {"C", "POSIX", "C.UTF-8"}) {
    env.Set("LC_ALL", c);  // overrides LC_TIME
    EXPECT_EQ(fw::FormatShortDate(t), "2026-12-06") << c;
    EXPECT_EQ(fw::FormatTimeOfDay(t, true), "14:05:09") << c;
    EXPECT_EQ(fw::FormatTimeOfDay(t, false), "14:05") << c;
  }
  env.Set("LC_ALL", nullptr);
  env.Set("LC_TIME", "xx_NOWHERE.UTF-8");  // a locale that cannot be loaded means C
  EXPECT_EQ(fw::FormatShortDate(t), "2026-12-06");
}

TEST(PosixStdioFileTest, WriteErrorsOfAFullDiskThrow) {
  const unsigned flags = fw::CStdioFile::modeWrite | fw::CStdioFile::typeText;
  fw::CStdioFile file;
  ASSERT_TRUE(file.Open("/dev/full", flags));
  try {
    file.WriteString(std::string(64 * 1024, 'x') + "\n");  // more than the stream buffer
    ADD_FAILURE() << "no exception";
  } catch (const fw::CFileException& e) {
    EXPECT_EQ(e.GetCause(), fw::CFileException::kDiskFull);
  }
  file.Abort();

  ASSERT_TRUE(file.Open("/dev/full", flags));
  file.WriteString("short\n");  // stays in the buffer until the close
  EXPECT_THROW(file.Close(), fw::CFileException);
  EXPECT_FALSE(file.IsOpen());
}

TEST(PosixStdioFileTest, DirectoriesAreNotFilesAndWriteWithoutCreateAppends) {
  fw_test::TempDir dir;
  fw::CStdioFile file;
  fw::CFileException::Cause cause = fw::CFileException::kGeneric;
  EXPECT_FALSE(file.Open(dir.Path().string(), fw::CStdioFile::modeRead, &cause));
  EXPECT_EQ(cause, fw::CFileException::kAccessDenied);

  const std::string path = dir.File("log.txt");
  fw_test::WriteBytes(path, "old\r\n");
  ASSERT_TRUE(file.Open(path, fw::CStdioFile::modeWrite | fw::CStdioFile::typeText));
  file.WriteString("new\n");
  file.Close();
  EXPECT_EQ(fw_test::ReadBytes(path), "old\r\nnew\r\n");
}

}  // namespace

#endif  // !_WIN32
