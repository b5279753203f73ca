// Protected secrets on both backends: sealed data opens again only unchanged and only for its
// key (a failing seal is tested with the settings that use it). On POSIX systems also the key file: made once,
// owner-only, shared by concurrent first users, and refused when others may read it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "framework/protected_data.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

using namespace std::string_literals;

std::string Sealed(const std::string& secret) {
  std::string sealed;
  EXPECT_TRUE(fw::ProtectData(secret, sealed));
  return sealed;
}

// The opened secret, or "refused" (and then nothing in the output).
std::string Opened(const std::string& sealed) {
  std::string opened = "stale";
  if (fw::UnprotectData(sealed, opened)) return opened;
  EXPECT_EQ(opened, "");
  return "refused";
}

class ProtectedDataTest : public ::testing::Test {
 protected:
  qbtest::ScopedRegistry m_registry;  // the posix key file lies beside the registry file
};

TEST_F(ProtectedDataTest, SecretsComeBackExactlyAndEachSealingDiffers) {
  std::string binary;
  for (int i = 0; i < 1000; ++i) binary += static_cast<char>(i * 7);
  for (const std::string& secret : {""s, "Kennw\xf6rter mit \0 Null"s, binary}) {
    const std::string sealed = Sealed(secret);
    EXPECT_EQ(sealed.find(secret.substr(0, 8)), secret.empty() ? 0 : std::string::npos);
    EXPECT_EQ(Opened(sealed), secret);
    EXPECT_NE(Sealed(secret), sealed) << "sealing twice gives the same bytes";
  }
}

// Changed data never opens to another secret. AES-GCM checks every byte, so there it does not
// open at all; so does DPAPI on Windows, but Wine's DPAPI leaves its signature's last byte and
// bytes appended to the blob unchecked: there it may open to the unchanged secret.
TEST_F(ProtectedDataTest, ChangedShortenedOrForeignDataIsRefused) {
  const std::string secret = "geheimes Kennwort";
  const std::string sealed = Sealed(secret);
#if defined(_WIN32)
  const std::vector<std::string> refusals = {"refused", secret};
#else
  const std::vector<std::string> refusals = {"refused"};
#endif
  std::vector<std::string> changed = {sealed + "x", std::string(sealed.size(), '\x01')};
  for (std::size_t at = 0; at < sealed.size(); ++at) {
    changed.push_back(sealed);
    changed.back()[at] = static_cast<char>(sealed[at] ^ 0x01);
  }
  for (const std::string& each : changed) {
    EXPECT_THAT(refusals, ::testing::Contains(Opened(each))) << ::testing::PrintToString(each);
  }
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, sealed.size() / 2, sealed.size() - 1}) {
    EXPECT_EQ(Opened(sealed.substr(0, size)), "refused") << "cut to " << size;
  }
}

#if !defined(_WIN32)
// With a permissive umask, so that the modes come from the code and not from the umask.
class KeyFileTest : public ::testing::Test {
 protected:
  KeyFileTest() : m_umask(::umask(0)) { m_env.Set("QBNOTIFY_REGISTRY", File("registry.sqlite3").c_str()); }
  ~KeyFileTest() override { ::umask(m_umask); }
  std::string File(const std::string& name) const { return m_dir.File("config/qbnotify/" + name); }
  static unsigned Mode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 01000;
  }

  qbtest::TempDir m_dir;
  qbtest::ScopedEnv m_env;
  mode_t m_umask;
};

TEST_F(KeyFileTest, IsMadeOnceOwnerOnlyKeptAcrossCallsAndRefusedWhenOthersMayReadIt) {
  EXPECT_EQ(Opened("\x01" + std::string(40, 'x')), "refused");
  EXPECT_FALSE(qbtest::FileExists(File("qbnotify.key"))) << "opening must not make a key";

  const std::string sealed = Sealed("Kennwort");
  EXPECT_EQ((std::vector{Mode(File("qbnotify.key")), Mode(m_dir.File("config/qbnotify")), Mode(m_dir.File("config"))}),
            (std::vector{0600u, 0700u, 0700u}));
  const std::string key = qbtest::ReadBytes(File("qbnotify.key"));
  EXPECT_EQ(key.size(), 32u);
  Sealed("another");
  EXPECT_EQ(qbtest::ReadBytes(File("qbnotify.key")), key);
  EXPECT_EQ(Opened(sealed), "Kennwort");
  {
    qbtest::ScopedEnv other("QBNOTIFY_REGISTRY", m_dir.File("other/registry.sqlite3").c_str());
    Sealed("y");
    EXPECT_EQ(Opened(sealed), "refused") << "opened under another key";
  }

  ASSERT_EQ(::chmod(File("qbnotify.key").c_str(), 0640), 0);
  std::string out;
  EXPECT_FALSE(fw::ProtectData("x", out));
  EXPECT_EQ(Opened(sealed), "refused");
  EXPECT_EQ(qbtest::ReadBytes(File("qbnotify.key")), key) << "a refused key is left alone";
  ASSERT_EQ(::chmod(File("qbnotify.key").c_str(), 0600), 0);
  qbtest::WriteBytes(File("qbnotify.key"), key.substr(0, 31));
  EXPECT_EQ(Opened(sealed), "refused");
}

TEST_F(KeyFileTest, FirstUsersAtOnceShareOneKey) {
  std::vector<std::string> sealed(8);
  std::vector<std::thread> threads;
  for (std::string& each : sealed) threads.emplace_back([&each] { fw::ProtectData("gleich", each); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& each : sealed) EXPECT_EQ(Opened(each), "gleich");
  EXPECT_EQ(qbtest::ListDirectory(m_dir.File("config/qbnotify")), std::vector<std::string>{"qbnotify.key"});
}
#endif

}  // namespace
