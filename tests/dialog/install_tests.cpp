// Installation into the host and removal from it, on both backends, against the stand-in for
// the host's executable: when the host is started and with which command line, and which
// message the user sees instead.
#include <filesystem>
#include <functional>

#include "addon/exports.h"
#include "dialog_test_support.h"
#include "resource.h"

namespace qbtest {
namespace {

const DialogRound kConfirm{{{7000, "smtp.example"}, {7002, "ops@example.com"}, {7003, "ftp@example.com"}}, -1, kOk};
const DialogRound kCancelRound{{}, -1, kCancel};

enum class Settings { kNone, kComplete, kUnwritable };

struct HostCase {
  const char* name;
  const char* displayName;  // of the host's uninstall entry; null: no entry
  bool hostProgram;         // the host's executable is in place
  Settings settings;        // what is stored before
  std::vector<DialogRound> rounds;
  std::vector<unsigned> messages;
  bool launched;
};

class HostInstallationTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
#if defined(_WIN32)
    m_strAddOnDir = "C:\\Program Files\\FTP Quorbit\\Add Ons";  // blanks, and no quotes around it
#else
    m_strAddOnDir = "/opt/ftp quorbit/add ons";
#endif
    m_strHostDir = std::filesystem::canonical(m_host.Path()).string();
  }

  // Runs `call` as the host would, with a user who plays the case's rounds.
  void Play(const HostCase& c, const std::function<void()>& call) {
    SetHostEntry(m_strHostDir, c.displayName);
    if (c.hostProgram) PlaceStandIn(m_strHostDir, "FTPQuorbit.exe");
    if (c.settings == Settings::kComplete) Store(nullptr, "stored.example|25|ops@example.com|ftp@example.com|100|0|");
    if (c.settings == Settings::kUnwritable) BlockSettingsWrites();
    DialogUser user(c.rounds);
    call();
    const UserRecord& seen = user.Finish();
    EXPECT_EQ(seen.problem, "");
    std::vector<std::string> expected;
    for (unsigned id : c.messages) expected.push_back(Seen(id));
    EXPECT_EQ(seen.messages, expected);
  }

  std::vector<Launch> HostLaunches(bool expected) const {
    return Launches(m_strHostDir, expected ? 1 : 0);
  }

  TempDir m_host;
  std::string m_strHostDir;
  std::string m_strAddOnDir;
};

void PrintTo(const HostCase& c, std::ostream* out) {
  *out << c.name;
}

class InstallTest : public HostInstallationTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(InstallTest, StartsTheHostWithTheInstallSwitchOnlyWhenEverythingFits) {
  const HostCase& c = GetParam();
  Play(c, [&] { QBAddOnInstall(m_strAddOnDir.c_str()); });
  const Launch launch{"-installaddon " + m_strAddOnDir + m_strSeparator + app->m_strModuleName, m_strHostDir};
  EXPECT_EQ(HostLaunches(c.launched), std::vector<Launch>(c.launched ? 1 : 0, launch));
  // Settings confirmed in the dialog are kept, whatever happens with the host.
  const bool confirmed = !c.rounds.empty() && c.rounds.back().press == kOk;
  EXPECT_EQ(Describe(Loaded(nullptr)).starts_with("smtp.example|25|"), confirmed);
  EXPECT_EQ(Describe(Loaded(nullptr)).starts_with("stored.example|"), c.settings == Settings::kComplete);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, InstallTest, ::testing::Values(
    HostCase{"Version11_3",        "FTP Quorbit 11.3",  true,  Settings::kNone, {kConfirm}, {}, true},
    HostCase{"NameWithoutBlank",   "12.5",              true,  Settings::kNone, {kConfirm}, {}, true},
    HostCase{"NoUninstallEntry",   nullptr,             true,  Settings::kNone, {kConfirm}, {IDS_ERR_HOST_NOT_FOUND}, false},
    HostCase{"Version11_2",        "FTP Quorbit 11.2",  true,  Settings::kNone, {kConfirm}, {IDS_ERR_HOST_VERSION}, false},
    HostCase{"VersionNoNumber",    "FTP Quorbit Pro",   true,  Settings::kNone, {kConfirm}, {IDS_ERR_HOST_VERSION}, false},
    HostCase{"TrailingBlank",      "FTP Quorbit 12.0 ", true,  Settings::kNone, {kConfirm}, {IDS_ERR_HOST_VERSION}, false},
    HostCase{"HostProgramMissing", "FTP Quorbit 12.0",  false, Settings::kNone, {kConfirm}, {IDS_ERR_INSTALL}, false},
    HostCase{"DialogCancelled",    "FTP Quorbit 12.0",  true,  Settings::kNone, {kCancelRound}, {}, false},
    HostCase{"SettingsComplete",   "FTP Quorbit 12.0",  true,  Settings::kComplete, {}, {}, false},
    HostCase{"SaveFailed",         "FTP Quorbit 12.0",  true,  Settings::kUnwritable, {kConfirm, kCancelRound},
             {IDS_ERR_SAVE_FAILED}, false}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST_F(HostInstallationTest, WithoutADirectoryTheModulesOwnIsInstalled) {
  Play({"NullDirectory", "FTP Quorbit 12.0", true, Settings::kNone, {kConfirm}, {}, true},
       [] { QBAddOnInstall(nullptr); });
  EXPECT_EQ(HostLaunches(true).front().first, "-installaddon " + app->m_strModulePath);
}

class UninstallTest : public HostInstallationTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(UninstallTest, StartsTheHostWithTheUninstallSwitchAndAlwaysReturnsZero) {
  const HostCase& c = GetParam();
  Play(c, [] { EXPECT_EQ(QBAddOnUninstall(7, 8), 0); });
  const Launch launch{"-uninstalladdon " + app->m_strModulePath, m_strHostDir};
  EXPECT_EQ(HostLaunches(c.launched), std::vector<Launch>(c.launched ? 1 : 0, launch));
}

// clang-format off
// The host entry is read as for the installation.
INSTANTIATE_TEST_SUITE_P(Cases, UninstallTest, ::testing::Values(
    HostCase{"Version11_3",        "FTP Quorbit 11.3",  true,  Settings::kNone, {}, {}, true},
    HostCase{"Version11_2",        "FTP Quorbit 11.2",  true,  Settings::kNone, {}, {}, false},
    HostCase{"HostProgramMissing", "FTP Quorbit 12.0",  false, Settings::kNone, {}, {IDS_ERR_UNINSTALL}, false}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

}  // namespace
}  // namespace qbtest
