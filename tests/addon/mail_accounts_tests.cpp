// Mail-account discovery: the stores seeded from the fixtures in tests/data/accounts (.reg
// files applied like `qbhost reg import`, Thunderbird folders copied into a redirected user
// folder), then every store searched in order. Under Wine the stores are the prefix's
// HKEY_CURRENT_USER; on a real Windows the tests skip rather than touch a user's mail setup.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "framework/registry.h"
#include "host/reg_file.h"
#include "host/registry_io.h"
#include "settings/MailAccounts.h"
#include "test_support.h"

#if defined(_WIN32)
#include "framework/win32/windows_api.h"
#endif

namespace {

namespace fs = std::filesystem;

const fs::path kFixtures = fs::path(QB_ACCOUNT_FIXTURES_DIR);
constexpr const char* kStoreKeys[] = {"Software\\Microsoft\\Office", "Software\\Microsoft\\Internet Account Manager"};

struct Fields {
  std::string server;
  int port = 25;
  std::string address;
  bool operator==(const Fields&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Fields& f) {
  return out << "{" << f.server << ", " << f.port << ", " << f.address << "}";
}

#if defined(_WIN32)
bool RunningUnderWine() {
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// The user folder that %APPDATA% names, set in UTF-16 so that any character survives.
class ScopedUserFolder {
 public:
  explicit ScopedUserFolder(const fs::path& folder) {
    wchar_t old[32768];
    const DWORD length = ::GetEnvironmentVariableW(L"APPDATA", old, 32768);
    if (length > 0 && length < 32768) m_old = std::wstring(old, length);
    ::SetEnvironmentVariableW(L"APPDATA", folder.wstring().c_str());
  }
  ~ScopedUserFolder() { ::SetEnvironmentVariableW(L"APPDATA", m_old ? m_old->c_str() : nullptr); }
  ScopedUserFolder(const ScopedUserFolder&) = delete;
  ScopedUserFolder& operator=(const ScopedUserFolder&) = delete;
  static constexpr const char* kThunderbird = "Thunderbird";

 private:
  std::optional<std::wstring> m_old;
};
#else
class ScopedUserFolder {
 public:
  explicit ScopedUserFolder(const fs::path& folder) : m_env("HOME", folder.c_str()) {}
  static constexpr const char* kThunderbird = ".thunderbird";

 private:
  qbtest::ScopedEnv m_env;
};
#endif

class MailAccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    if (!RunningUnderWine()) GTEST_SKIP() << "would change the mail accounts of this Windows user";
#endif
    ClearStores();
  }
  void TearDown() override {
    ClearStores();
  }
  static void ClearStores() {
    for (const char* key : kStoreKeys) qbtest::DeleteKeyTree(fw::HKeyCurrentUser(), key);
  }

  static void Import(const std::string& name) {
    const std::string file = (kFixtures / name).string();
    qbhost::ApplyRegFile(qbhost::ParseRegFile(qbtest::ReadBytes(file), file), file);
  }

  // Copies a Thunderbird folder of the fixtures into the user folder; "@FOLDER@" in its
  // profiles.ini becomes the folder's own path.
  void InstallThunderbird(const std::string& name) {
    const fs::path folder = m_userFolder / ScopedUserFolder::kThunderbird;
    fs::create_directories(folder);
    fs::copy(kFixtures / "thunderbird" / name, folder, fs::copy_options::recursive);
    const fs::path ini = folder / "profiles.ini";
    std::string text = qbtest::ReadBytes(ini);
    const std::u8string self = folder.u8string();
    for (std::size_t at; (at = text.find("@FOLDER@")) != std::string::npos;) {
      text.replace(at, 8, std::string(self.begin(), self.end()));
    }
    qbtest::WriteBytes(ini, text);
  }

  static Fields Discover(Fields fields) {
    ReadAllMailAccounts(fields.server, fields.port, fields.address);
    return fields;
  }

  qbtest::ScopedRegistry m_registry;
  qbtest::TempDir m_dir;
  const fs::path m_userFolder = m_dir.Path() / fs::path(u8"J\u00fcrgen");
  ScopedUserFolder m_redirect{m_userFolder};
};

TEST_F(MailAccountsTest, EachFieldComesFromTheFirstAccountThatHasItAndOnlyEmptyFieldsAreFilled) {
  struct Case {
    const char* what;
    std::vector<std::string> regFiles;
    std::string thunderbird;
    Fields start;
    Fields expected;
  };
  const Fields empty;
  // clang-format off
  const Case cases[] = {
      {"no store", {}, "", empty, empty},
      {"server and its port from the first account, address from the second", {"outlook_split.reg"}, "",
       empty, {"smtp.first.example", 587, "second@example.org"}},
      {"server of the Internet Account Manager with its port 0, address from Outlook",
       {"outlook_address_only.reg", "iam_port_zero.reg"}, "", empty, {"mail.iam.example", 0, "outlook@example.org"}},
      {"a server without a port keeps the port", {"iam_no_port.reg"}, "",
       {"", 2500, ""}, {"mail.noport.example", 2500, "noport@example.org"}},
      {"a set server is kept, and so is the port beside it", {"outlook_split.reg"}, "",
       {"preset.example", 2500, ""}, {"preset.example", 2500, "second@example.org"}},
      {"a set address is kept", {"outlook_split.reg"}, "",
       {"", 25, "me@example.org"}, {"smtp.first.example", 587, "me@example.org"}},
      {"newest Outlook version, default profile first, UTF-16 text in Windows-1252 or skipped",
       {"outlook_profiles.reg"}, "", empty, {"smtp.work.example", 587, "w\xf6rk@example.org"}},
      {"stores in order: account keys, then Outlook profiles, then Thunderbird",
       {"outlook_address_only.reg", "outlook_profiles.reg"}, "install_default",
       empty, {"smtp.work.example", 587, "outlook@example.org"}},
      {"Thunderbird: the [Install] default profile, escapes resolved, the last setting wins", {}, "install_default",
       empty, {"smtp.b\xe4r.example", 465, "j\xfcrgen@m\xfcller.example"}},
      {"Thunderbird: the Default=1 profile at an absolute path, the identity's own server", {}, "default_flag",
       empty, {"smtp.fallback.example", 2525, "tb@example.org"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearStores();
    fs::remove_all(m_userFolder);
    for (const std::string& file : c.regFiles) Import(file);
    if (!c.thunderbird.empty()) InstallThunderbird(c.thunderbird);
    EXPECT_EQ(Discover(c.start), c.expected);
  }
}

TEST_F(MailAccountsTest, ATextThatFillsTheBufferIsTakenWithoutItsTerminatorAndALongerOneIsSkipped) {
  const std::string key = std::string(kStoreKeys[1]) + "\\Accounts\\";
  // RegSetValueExA stores a terminator that follows the data: the byte after `size` is not zero.
  const auto set = [](const std::string& path, const char* name, const std::string& bytes, std::size_t size) {
    fw::RegKey account;
    ASSERT_EQ(account.Create(fw::HKeyCurrentUser(), path.c_str()), fw::kErrorSuccess);
    ASSERT_EQ(fw::RegSetValue(account.Get(), name, fw::kRegSz, bytes.data(), static_cast<std::uint32_t>(size)),
              fw::kErrorSuccess);
  };
  set(key + "1", "SMTP Server", std::string(1026, 's'), 1025);
  set(key + "1", "SMTP Email Address", std::string(1025, 'a'), 1024);
  set(key + "2", "SMTP Server", "smtp.ok.example", 16);
  EXPECT_EQ(Discover({}), (Fields{"smtp.ok.example", 25, std::string(1024, 'a')}));
}

}  // namespace
