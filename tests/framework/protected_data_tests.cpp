// Protected secrets on both backends: sealed data opens again only unchanged and only for its
// key; the seam fails both calls. On POSIX systems also the key file: made once, owner-only,
// shared by concurrent first users, and refused when others may read it.
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

bool Opens(const std::string& sealed, std::string* secret = nullptr) {
  std::string opened = "stale";
  const bool ok = fw::UnprotectData(sealed, opened);
  if (!ok) {
    EXPECT_EQ(opened, "");
  }
  if (secret != nullptr) *secret = opened;
  return ok;
}

class ProtectedDataTest : public ::testing::Test {
 protected:
  qbtest::ScopedRegistry m_registry;  // the posix key file lies beside the registry file
};

TEST_F(ProtectedDataTest, SecretsComeBackExactlyAndEachSealingDiffers) {
  std::string binary;
  for (int i = 0; i < 1000; ++i) binary += static_cast<char>(i * 7);
  for (const std::string& secret : {""s, "k"s, "Kennw\xf6rter mit \0 Null"s, binary}) {
    const std::string sealed = Sealed(secret);
    if (secret.size() > 4) {
      EXPECT_EQ(sealed.find(secret), std::string::npos);
    }
    std::string opened;
    EXPECT_TRUE(Opens(sealed, &opened));
    EXPECT_EQ(opened, secret);
    EXPECT_NE(Sealed(secret), sealed) << "sealing twice gives the same bytes";
  }
}

// Changed data never opens to another secret. AES-GCM checks every byte, so there it does not
// open at all; so does DPAPI on Windows, but Wine's DPAPI leaves its signature's last byte and
// bytes appended to the blob unchecked: there it may open to the unchanged secret.
bool Refused(const std::string& changed, [[maybe_unused]] const std::string& secret) {
  std::string opened;
  if (!fw::UnprotectData(changed, opened)) return true;
#if defined(_WIN32)
  return opened == secret;
#else
  return false;
#endif
}

TEST_F(ProtectedDataTest, ChangedShortenedOrForeignDataIsRefused) {
  const std::string secret = "geheimes Kennwort";
  const std::string sealed = Sealed(secret);
  ASSERT_TRUE(Opens(sealed));
  for (std::size_t at = 0; at < sealed.size(); ++at) {
    std::string changed = sealed;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    EXPECT_TRUE(Refused(changed, secret)) << "byte " << at << " changed";
  }
  EXPECT_TRUE(Refused(sealed + "x", secret));
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, sealed.size() / 2, sealed.size() - 1}) {
    EXPECT_FALSE(Opens(sealed.substr(0, size))) << "cut to " << size;
  }
  EXPECT_FALSE(Opens(std::string(sealed.size(), '\x01')));
}

TEST_F(ProtectedDataTest, TheSeamFailsBothCalls) {
  const std::string sealed = Sealed("x");
  fw::testing::SetDataProtectionFails(true);
  std::string out = "stale";
  EXPECT_FALSE(fw::ProtectData("x", out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(Opens(sealed));
  fw::testing::SetDataProtectionFails(false);
  EXPECT_TRUE(Opens(sealed));
}

#if !defined(_WIN32)
// Runs with a permissive umask, so that modes come from the code and not from the umask.
class KeyFileTest : public ::testing::Test {
 protected:
  KeyFileTest() : m_umask(::umask(0)) {
    m_env.Set("QBNOTIFY_REGISTRY", m_dir.File("config/qbnotify/registry.sqlite3").c_str());
  }
  ~KeyFileTest() override { ::umask(m_umask); }
  std::string KeyFile() const { return m_dir.File("config/qbnotify/qbnotify.key"); }
  static unsigned Mode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 01000;
  }

  qbtest::TempDir m_dir;
  qbtest::ScopedEnv m_env;
  mode_t m_umask;
};

TEST_F(KeyFileTest, IsMadeOnceOwnerOnlyInOwnerOnlyFoldersAndKeptAcrossCalls) {
  std::string opened;
  EXPECT_FALSE(fw::UnprotectData("\x01" + std::string(40, 'x'), opened));
  EXPECT_FALSE(qbtest::FileExists(KeyFile())) << "opening must not make a key";

  const std::string sealed = Sealed("Kennwort");
  EXPECT_EQ(Mode(KeyFile()), 0600u);
  EXPECT_EQ(Mode(m_dir.File("config/qbnotify")), 0700u);
  EXPECT_EQ(Mode(m_dir.File("config")), 0700u);
  const std::string key = qbtest::ReadBytes(KeyFile());
  EXPECT_EQ(key.size(), 32u);
  Sealed("another");
  EXPECT_EQ(qbtest::ReadBytes(KeyFile()), key);
  EXPECT_TRUE(Opens(sealed));
  EXPECT_EQ(qbtest::ListDirectory(m_dir.File("config/qbnotify")), std::vector<std::string>{"qbnotify.key"});

  // Under another registry's key the data is foreign.
  qbtest::ScopedEnv other("QBNOTIFY_REGISTRY", m_dir.File("other/registry.sqlite3").c_str());
  Sealed("y");
  EXPECT_FALSE(Opens(sealed));
}

TEST_F(KeyFileTest, FirstUsersAtOnceShareOneKey) {
  std::vector<std::string> sealed(8);
  std::vector<std::thread> threads;
  for (std::string& each : sealed) threads.emplace_back([&each] { fw::ProtectData("gleich", each); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& each : sealed) EXPECT_TRUE(Opens(each));
  EXPECT_EQ(qbtest::ListDirectory(m_dir.File("config/qbnotify")), std::vector<std::string>{"qbnotify.key"});
}

TEST_F(KeyFileTest, AKeyOthersMayReadOrOfTheWrongSizeIsRefused) {
  const std::string sealed = Sealed("x");
  const std::string key = qbtest::ReadBytes(KeyFile());
  ASSERT_EQ(::chmod(KeyFile().c_str(), 0640), 0);
  std::string out;
  EXPECT_FALSE(fw::ProtectData("x", out));
  EXPECT_FALSE(Opens(sealed));
  EXPECT_EQ(qbtest::ReadBytes(KeyFile()), key) << "a refused key is left alone";

  ASSERT_EQ(::chmod(KeyFile().c_str(), 0600), 0);
  qbtest::WriteBytes(KeyFile(), key.substr(0, 31));
  EXPECT_FALSE(Opens(sealed));
}
#endif

}  // namespace
