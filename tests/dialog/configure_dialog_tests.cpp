// The configuration dialog as its user meets it, on both backends: what OK saves, the checks
// and their messages in their order, Cancel, help, the scope text, texts the store cannot
// hold, and a save that fails.
#include <algorithm>

#include "dialog_test_support.h"
#include "framework/framework_res.h"
#include "framework/strings.h"
#include "resource.h"
#include "settings/QBNotifyConfigureDlg.h"

namespace qbtest {
namespace {

std::string Range(int minimum, int maximum) {
  return AsSeen(fw::FormatId(FW_IDS_INTEGER_RANGE, minimum, maximum));
}

const std::string kSeed = "seed.example|2525|ops@example.com|ftp@example.com|100|0|Alt";
const std::string kEmpty = "|25|||100|0|";
const std::string kGlobalScope = "Konfiguration gilt f\xfcr alle FTP Quorbit Serverprofile";

struct ConfigureCase {
  const char* name;
  bool blockWrites;
  const char* profile;  // null: the global configuration
  std::string seed;     // stored before, or empty
  std::vector<DialogRound> rounds;
  std::vector<std::string> messages;
  std::string stored;  // afterwards
};

void PrintTo(const ConfigureCase& c, std::ostream* out) {
  *out << c.name;
}

class ConfigureDialogTest : public DialogTest, public ::testing::WithParamInterface<ConfigureCase> {};

TEST_P(ConfigureDialogTest, SavesWhatPassesTheChecksAndNothingElse) {
  const ConfigureCase& c = GetParam();
  if (!c.seed.empty()) Store(c.profile, c.seed);
  if (c.blockWrites) BlockSettingsWrites();
  DialogUser user(c.rounds);
  CQBNotifyConfigureDlg dialog(c.profile, false);
  dialog.DoModal();
  const UserRecord& seen = user.Finish();
  EXPECT_EQ(seen.problem, "");
  EXPECT_EQ(seen.messages, c.messages);
  EXPECT_EQ(Describe(Loaded(c.profile)), c.stored);
}

const DialogRound kCancelRound{{}, -1, kCancel};

DialogRound Ok(std::vector<std::pair<int, std::string>> typed, int pick = -1) {
  return {std::move(typed), pick, kOk};
}

const std::string kLong(2047, 'x');

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ConfigureDialogTest, ::testing::Values(
    ConfigureCase{"EveryFieldIsSaved", false, nullptr, "",
        {Ok({{7000, "smtp.example.org"}, {7001, "465"}, {7002, "a@example.com,b@example.com"},
             {7003, "ftp@example.com"}, {7004, "1000"}, {7005, "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"}}, 1)},
        {}, "smtp.example.org|465|a@example.com,b@example.com|ftp@example.com|1000|1|Gr\xfc\xdf" "e \x80"},
    // Each check in its order; the dialog stays open after each message.
    ConfigureCase{"ChecksInTheirOrder", false, nullptr, "",
        {Ok({}), Ok({{7000, "smtp.example"}}), Ok({{7002, "a@example.com, b@example.com"}}),
         Ok({{7003, "ftp@example.com"}}), Ok({{7002, "a@example.com,b@example.com"}, {7003, "ftp.example.com"}}),
         Ok({{7001, "0"}, {7003, "ftp@example.com"}}), Ok({{7001, "65536"}}), Ok({{7001, "25x"}}),
         Ok({{7001, "65535"}, {7004, "1001"}}), Ok({{7004, "0"}})},
        {Seen(IDS_ERR_NO_SMTP_SERVER), Seen(IDS_ERR_NO_DELIVER_TO), Seen(IDS_ERR_NO_FROM_EMAIL),
         Seen(IDS_ERR_BAD_ADDRESS), Seen(IDS_ERR_BAD_ADDRESS), Range(1, 65535), Range(1, 65535), Range(1, 65535),
         Range(0, 1000)},
        "smtp.example|65535|a@example.com,b@example.com|ftp@example.com|0|0|"},
    ConfigureCase{"CancelAfterEdits", false, "Main", kSeed, {{{{7000, "other.example"}}, -1, kCancel}}, {}, kSeed},
    ConfigureCase{"ChoiceOutsideTheListShowsTheFirst", false, "Main",
        "seed.example|2525|ops@example.com|ftp@example.com|100|7|", {Ok({})}, {},
        "seed.example|2525|ops@example.com|ftp@example.com|100|0|"},
    // The terminal refuses these texts at once and keeps the old one; Windows refuses them on
    // OK. Either way nothing of them is stored.
    ConfigureCase{"TooLongText", false, nullptr, kSeed, {Ok({{7005, kLong + "x"}}), kCancelRound},
        {AsSeen(fw::FormatId(FW_IDS_TEXT_TOO_LONG, 2047))}, kSeed},
    ConfigureCase{"TextWindows1252CannotHold", false, nullptr, kSeed, {Ok({{7005, "\xce\xa9"}}), kCancelRound},
        {Seen(FW_IDS_TEXT_NOT_STORABLE)}, kSeed},
    ConfigureCase{"LongestText", false, nullptr, kSeed, {Ok({{7005, kLong}})}, {},
        "seed.example|2525|ops@example.com|ftp@example.com|100|0|" + kLong},
    ConfigureCase{"FailedSave", true, nullptr, "",
        {Ok({{7000, "smtp.example"}, {7002, "ops@example.com"}, {7003, "ftp@example.com"}}), kCancelRound},
        {Seen(IDS_ERR_SAVE_FAILED)}, kEmpty}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

TEST_F(DialogTest, ScopeTextTellsWhetherTheSettingsAreAProfilesOrGlobal) {
  for (const char* profile : {static_cast<const char*>(nullptr), "Main"}) {
    DialogUser user({kCancelRound});
    CQBNotifyConfigureDlg(profile, false).DoModal();
    const UserRecord& seen = user.Finish();
    const std::string scope = profile ? fw::LoadString(IDS_SCOPE_PROFILE) : kGlobalScope;
    EXPECT_NE(std::ranges::find(seen.dialogTexts, scope), seen.dialogTexts.end()) << (profile ? profile : "global");
    EXPECT_EQ(seen.problem, "");
  }
}

TEST_F(DialogTest, HelpOpensThePageBesideTheModuleOrNamesTheMissingHelpPage) {
  const std::string first = m_strModuleDir + "Help" + m_strSeparator + "QBNotifyAddOn.htm";
  const std::string second = m_strModuleDir + "QBNotifyAddOn.htm";
  for (const bool pagePlaced : {false, true}) {
    if (pagePlaced) WriteBytes(second, "<html></html>");
    DialogUser user({{{}, -1, kHelp}, kCancelRound});
    CQBNotifyConfigureDlg(nullptr, false).DoModal();
    const UserRecord& seen = user.Finish();
    EXPECT_EQ(seen.messages,
              std::vector<std::string>(pagePlaced ? 0 : 1, AsSeen(fw::FormatId(IDS_ERR_HELP_FILE, first.c_str()))));
    if (!pagePlaced) {
      EXPECT_TRUE(seen.messages.front().ends_with("\n\"" + first + "\""));
    }
  }
#if defined(_WIN32)
  const std::string opened = "\"" + second + "\"";
#else
  const std::string opened = second;
#endif
  ASSERT_EQ(Launches(m_opener.Path().string(), 1).size(), 1u);
  EXPECT_EQ(Launches(m_opener.Path().string(), 1).front().first, opened);
}

}  // namespace
}  // namespace qbtest
