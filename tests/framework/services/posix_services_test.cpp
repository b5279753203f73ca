// POSIX backend: registry file location and switching, fault seams, creation order of values,
// other processes writing at once, damaged databases; ISO dates under the C locale; write
// errors of a full disk.
#if !defined(_WIN32)

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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
      if (it->had) {
        setenv(it->name.c_str(), it->value.c_str(), 1);
      } else {
        unsetenv(it->name.c_str());
      }
    }
  }
  void Set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    m_saved.push_back({name, old != nullptr, old != nullptr ? old : ""});
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }

 private:
  struct Saved {
    std::string name;
    bool had;
    std::string value;
  };
  std::vector<Saved> m_saved;
};

class PosixRegistryTest : public RegistryTest {
 protected:
  void TearDown() override {
    faults::Reset();
    RegistryTest::TearDown();
  }
};

TEST_F(PosixRegistryTest, ValuesEnumerateInCreationOrderAndKeepTheirPlace) {
  for (const char* name : {"Zulu", "alpha", "Mike"}) ASSERT_EQ(SetDword(m_key.Get(), name, 1), fw::kErrorSuccess);
  ASSERT_EQ(SetDword(m_key.Get(), "ZULU", 2), fw::kErrorSuccess);
  std::vector<std::string> names;
  char name[64];
  std::uint32_t nameSize = sizeof name;
  for (std::uint32_t i = 0; fw::RegEnumValue(m_key.Get(), i, name, &nameSize, nullptr, nullptr, nullptr) == 0; ++i) {
    names.push_back(name);
    nameSize = sizeof name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Zulu", "alpha", "Mike"}));
  EXPECT_EQ(Query(m_key.Get(), "zulu"), "\x02\0\0\0"s);
}

TEST_F(PosixRegistryTest, InvalidArgumentsAndHandlesAreRejected) {
  char buffer[8];
  EXPECT_EQ(fw::RegQueryValue(m_key.Get(), "x", nullptr, buffer, nullptr), fw::kErrorInvalidParameter);
  EXPECT_EQ(fw::RegSetValue(m_key.Get(), "x", fw::kRegBinary, nullptr, 4), fw::kErrorInvalidParameter);
  EXPECT_EQ(fw::RegOpenKey(m_key.Get(), "x", nullptr), fw::kErrorInvalidParameter);
  EXPECT_EQ(fw::RegDeleteKey(m_key.Get(), nullptr), fw::kErrorInvalidParameter);
  EXPECT_EQ(fw::RegCreateKey(m_key.Get(), std::string(256, 'k').c_str(), fw::RegKey().Receive()),
            fw::kErrorInvalidParameter);

  fw::HKEY bogus = reinterpret_cast<fw::HKEY>(std::uintptr_t{0x7777});
  EXPECT_EQ(SetDword(bogus, "x", 1), fw::kErrorInvalidHandle);
  EXPECT_EQ(fw::RegCloseKey(bogus), fw::kErrorInvalidHandle);
  EXPECT_EQ(fw::RegCloseKey(nullptr), fw::kErrorInvalidHandle);
  fw::HKEY closed = nullptr;
  ASSERT_EQ(fw::RegOpenKey(m_key.Get(), nullptr, &closed), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegCloseKey(closed), fw::kErrorSuccess);
  EXPECT_EQ(fw::RegCloseKey(closed), fw::kErrorInvalidHandle);
  EXPECT_EQ(fw::RegCloseKey(fw::HKeyUsers()), fw::kErrorSuccess);  // roots stay usable
  EXPECT_EQ(fw::RegDeleteKey(fw::HKeyUsers(), ""), fw::kErrorAccessDenied);
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
  fw::HKEY stale = m_key.Get();
  fw_test::TempDir other;
  ScopedEnv env;
  env.Set("QBNOTIFY_REGISTRY", other.File("other.sqlite3").c_str());

  fw::RegKey key;
  EXPECT_EQ(key.Open(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorFileNotFound);
  EXPECT_EQ(SetDword(stale, "Here", 2), fw::kErrorInvalidHandle);  // handles die with their database
  EXPECT_TRUE(fw::PathExists(other.File("other.sqlite3")));
  m_key.Release();

  env.Set("QBNOTIFY_REGISTRY", m_dir.File("registry.sqlite3").c_str());
  ASSERT_EQ(m_key.Open(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorSuccess);
  EXPECT_EQ(Query(m_key.Get(), "Here"), "\x01\0\0\0"s);
}

TEST(PosixRegistryLocationTest, DefaultsToTheUsersConfigurationDirectory) {
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
}

TEST(PosixRegistryLocationTest, AnUnusableDatabaseGivesErrorsNotCrashes) {
  fw_test::TempDir dir;
  ScopedEnv env;
  const std::string garbage = dir.File("garbage.sqlite3");
  fw_test::WriteBytes(garbage, std::string(4096, 'x'));
  env.Set("QBNOTIFY_REGISTRY", garbage.c_str());
  fw::RegKey key;
  EXPECT_NE(key.Create(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess);
  EXPECT_NE(key.Open(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess);
  EXPECT_EQ(fw_test::ReadBytes(garbage), std::string(4096, 'x'));

  fw_test::WriteBytes(dir.File("file"), "");
  env.Set("QBNOTIFY_REGISTRY", dir.File("file/registry.sqlite3").c_str());
  EXPECT_NE(key.Create(fw::HKeyCurrentUser(), "Software"), fw::kErrorSuccess);
  EXPECT_FALSE(key);
}

TEST_F(PosixRegistryTest, OtherProcessesWritingAtOnceLoseNothing) {
  constexpr int kChildren = 3;
  constexpr int kValues = 40;
  const std::string shared = m_path + "\\Shared";
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kValues; ++i) {
        fw::RegKey key;  // each write opens its key, as the settings store does
        failures += key.Create(fw::HKeyCurrentUser(), shared.c_str()) != fw::kErrorSuccess;
        const std::string name = "p" + std::to_string(c) + "-" + std::to_string(i);
        failures += SetDword(key.Get(), name.c_str(), static_cast<std::uint32_t>(i)) != fw::kErrorSuccess;
        failures += SetDword(key.Get(), "Last", static_cast<std::uint32_t>(c)) != fw::kErrorSuccess;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (int i = 0; i < kValues; ++i) {
    fw::RegKey key;
    EXPECT_EQ(key.Create(fw::HKeyCurrentUser(), shared.c_str()), fw::kErrorSuccess);
    EXPECT_EQ(SetDword(key.Get(), ("parent-" + std::to_string(i)).c_str(), 1), fw::kErrorSuccess);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  fw::RegKey key;
  ASSERT_EQ(key.Open(fw::HKeyCurrentUser(), shared.c_str()), fw::kErrorSuccess);
  int count = 0;
  char name[64];
  std::uint32_t nameSize = sizeof name;
  while (fw::RegEnumValue(key.Get(), static_cast<std::uint32_t>(count), name, &nameSize, nullptr, nullptr, nullptr) ==
         fw::kErrorSuccess) {
    ++count;
    nameSize = sizeof name;
  }
  EXPECT_EQ(count, kChildren * kValues + kValues + 1);
  for (int c = 0; c < kChildren; ++c) {
    const std::string last = "p" + std::to_string(c) + "-" + std::to_string(kValues - 1);
    EXPECT_EQ(Query(key.Get(), last.c_str()), std::string({static_cast<char>(kValues - 1), 0, 0, 0}));
  }
}

TEST(PosixClockTest, TheCLocaleGivesIsoDatesAndTimes) {
  const fw::CalendarTime t{2026, 12, 6, 14, 5, 9, 0};
  ScopedEnv env;
  env.Set("LC_TIME", "de_DE.UTF-8");
  env.Set("LANG", "de_DE.UTF-8");
  for (const char* c : {"C", "POSIX", "C.UTF-8"}) {
    env.Set("LC_ALL", c);  // overrides LC_TIME and LANG
    EXPECT_EQ(fw::FormatShortDate(t), "2026-12-06") << c;
    EXPECT_EQ(fw::FormatTimeOfDay(t, true), "14:05:09") << c;
    EXPECT_EQ(fw::FormatTimeOfDay(t, false), "14:05") << c;
  }
  env.Set("LC_ALL", nullptr);
  env.Set("LC_TIME", nullptr);
  env.Set("LANG", nullptr);
  EXPECT_EQ(fw::FormatShortDate(t), "2026-12-06");  // nothing set means C
  env.Set("LC_TIME", "xx_NOWHERE.UTF-8");           // a locale that cannot be loaded falls back to C
  EXPECT_EQ(fw::FormatTimeOfDay(t, true), "14:05:09");
}

TEST(PosixStdioFileTest, WriteErrorsOfAFullDiskThrow) {
  fw::CStdioFile file;
  ASSERT_TRUE(file.Open("/dev/full", fw::CStdioFile::modeWrite | fw::CStdioFile::typeText));
  const std::string block(64 * 1024, 'x');  // more than the stream buffer: written at once
  try {
    file.WriteString(block + "\n");
    ADD_FAILURE() << "no exception";
  } catch (const fw::CFileException& e) {
    EXPECT_EQ(e.GetCause(), fw::CFileException::kDiskFull);
  }
  file.Abort();

  ASSERT_TRUE(file.Open("/dev/full", fw::CStdioFile::modeWrite | fw::CStdioFile::typeText));
  file.WriteString("short\n");  // stays in the buffer until the close
  try {
    file.Close();
    ADD_FAILURE() << "no exception";
  } catch (const fw::CFileException& e) {
    EXPECT_EQ(e.GetCause(), fw::CFileException::kDiskFull);
  }
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
  EXPECT_FALSE(file.Open(dir.File("absent.txt"), fw::CStdioFile::modeWrite, &cause));
  EXPECT_EQ(cause, fw::CFileException::kFileNotFound);
}

}  // namespace

#endif  // !_WIN32
