// The advanced settings as their user meets them, on both backends: what their OK keeps for
// the configuration dialog's OK, the password that is never shown and is kept, replaced or
// removed, Cancel, the checks of the login and the pin, and the test message with a stand-in
// for its delivery (done at once, slow and cancelled, or not started).
#include <atomic>

#include "dialog_test_support.h"
#include "mail/TestMail.h"
#include "resource.h"
#include "settings/QBNotifyConfigureDlg.h"

namespace qbtest {
namespace {

constexpr int kAdvanced = 7009;
constexpr int kRemovePassword = 7014;
constexpr int kTestMail = 7016;

const std::string kSeed = "seed.example|587|ops@example.com|ftp@example.com|100|0|Alt";
const std::string kSeedLogin = kSeed + "|1|notify|0ld-Pw9|";
const std::string kPin =
    "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
const std::string kPinTyped = "00112233 44556677 8899aabb ccddeeff 00112233 44556677 8899aabb ccddeeff";
const std::string kDiagnosis = "Verbunden mit 192.0.2.25:587\r\n250 2.0.0 Ok";

// The stand-in for the delivery of a test message.
enum class Delivery { kNone, kDoneAtOnce, kSlow, kNotStarted };

class FakeTestMail : public CTestMail {
 public:
  explicit FakeTestMail(bool bDone) : m_bDone(bDone) {}
  bool IsDone() const override { return m_bDone; }
  void Cancel() override {
    m_bCancelled = true;
    m_bDone = true;
  }
  bool Succeeded() const override { return !m_bCancelled; }
  std::string GetDiagnosis() const override { return kDiagnosis; }

  std::atomic<bool> m_bDone;
  std::atomic<bool> m_bCancelled{false};
};

struct AdvancedCase {
  const char* name;
  std::string seed;
  bool unreadablePassword;
  Delivery delivery;
  std::vector<DialogRound> rounds;
  std::vector<std::string> messages;
  std::vector<std::string> readings;
  std::string login;    // stored afterwards (the password is sealed by CNotifyConfig::Save)
  std::string started;  // the test message's "server|security|user|password|pin", or empty
};

void PrintTo(const AdvancedCase& c, std::ostream* out) {
  *out << c.name;
}

class AdvancedDialogTest : public DialogTest, public ::testing::WithParamInterface<AdvancedCase> {
 protected:
  void TearDown() override {
    CTestMail::SetStarterForTesting(nullptr);
    DialogTest::TearDown();
  }
};

TEST_P(AdvancedDialogTest, KeepsTheLoginForOkAndSendsTestMessages) {
  const AdvancedCase& c = GetParam();
  Store(nullptr, c.seed);
  if (c.unreadablePassword) SetRaw(KeyOf(nullptr), "SMTP Password", fw::kRegBinary, "sealed elsewhere");
  std::string started;
  std::shared_ptr<FakeTestMail> mail;
  if (c.delivery != Delivery::kNone) {
    CTestMail::SetStarterForTesting([&](const CNotifyConfig& config) -> std::shared_ptr<CTestMail> {
      started = config.m_strSmtpServer + "|" + std::to_string(config.m_nSmtpSecurity) + "|" + config.m_strSmtpUser +
                "|" + config.m_strSmtpPassword + "|" + config.m_strSmtpCertificate;
      if (c.delivery == Delivery::kNotStarted) return nullptr;
      mail = std::make_shared<FakeTestMail>(c.delivery == Delivery::kDoneAtOnce);
      return mail;
    });
  }
  DialogUser user(c.rounds);
  CQBNotifyConfigureDlg(nullptr, false).DoModal();
  const UserRecord& seen = user.Finish();
  EXPECT_EQ(seen.problem, "");
  EXPECT_EQ(seen.messages, c.messages);
  EXPECT_EQ(seen.readings, c.readings);
  EXPECT_EQ(DescribeLogin(Loaded(nullptr)), c.login);
  EXPECT_EQ(started, c.started);
  if (mail) {
    EXPECT_EQ(mail->m_bCancelled, c.delivery == Delivery::kSlow);
  }
}

DialogRound Configure(int press, std::vector<std::pair<int, std::string>> typed = {}) {
  return {std::move(typed), -1, press, kConfigureDialog};
}
DialogRound Advanced(int press, std::vector<std::pair<int, std::string>> typed = {}, int pick = -1,
                     std::vector<int> read = {}) {
  return {std::move(typed), pick, press, kAdvancedDialog, std::move(read)};
}
const DialogRound kOpen = Configure(kAdvanced);

std::string Reading(int id, const std::string& text) {
  return std::to_string(id) + "=" + text;
}
std::string Diagnosis(unsigned outcome) {
  return Seen(outcome) + "\n\n" + AsSeen(kDiagnosis);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, AdvancedDialogTest, ::testing::Values(
    AdvancedCase{"EveryFieldIsKeptAndSavedByOk", kSeed, false, Delivery::kNone,
        {kOpen, Advanced(kOk, {{7011, "ftp-notify"}, {7012, "N3w-Pw!x"}, {7015, kPinTyped}}, 2), Configure(kOk)},
        {}, {}, "2|ftp-notify|N3w-Pw!x|" + kPin, ""},
    AdvancedCase{"EmptyPasswordKeepsTheStoredOne", kSeedLogin, false, Delivery::kNone,
        {kOpen, Advanced(kOk, {}, -1, {7012, 7013}), Configure(kOk)},
        {}, {Reading(7012, ""), Reading(7013, Seen(IDS_PASSWORD_KEPT))}, "1|notify|0ld-Pw9|", ""},
    AdvancedCase{"TypedPasswordReplacesItAndIsNotShownAgain", kSeedLogin, false, Delivery::kNone,
        {kOpen, Advanced(kOk, {{7012, "N3w-Pw!x"}}), kOpen, Advanced(kCancel, {}, -1, {7012}), Configure(kOk)},
        {}, {Reading(7012, "")}, "1|notify|N3w-Pw!x|", ""},
    AdvancedCase{"RemovedPassword", kSeedLogin, false, Delivery::kNone,
        {kOpen, Advanced(kRemovePassword, {{7011, ""}}), Advanced(kOk, {}, -1, {7013}), Configure(kOk)},
        {}, {Reading(7013, Seen(IDS_PASSWORD_REMOVED))}, "1|||", ""},
    AdvancedCase{"CancelDropsTheEdits", kSeedLogin, false, Delivery::kNone,
        {kOpen, Advanced(kCancel, {{7011, "other"}, {7012, "0ther-Pw"}, {7015, kPinTyped}}, 0),
         kOpen, Advanced(kCancel, {}, -1, {7010, 7011, 7015}), Configure(kOk)},
        {}, {Reading(7010, "STARTTLS"), Reading(7011, "notify"), Reading(7015, "")}, "1|notify|0ld-Pw9|", ""},
    AdvancedCase{"UserNeedsTlsThenAPassword", kSeed, false, Delivery::kNone,
        {kOpen, Advanced(kOk, {{7011, "u1"}, {7012, "Pw-1st!x"}}), Advanced(kOk, {{7012, ""}}, 1),
         Advanced(kOk, {{7012, "Pw-2nd!x"}}), Configure(kOk)},
        {Seen(IDS_ERR_USER_WITHOUT_TLS), Seen(IDS_ERR_USER_WITHOUT_PASSWORD)}, {}, "1|u1|Pw-2nd!x|", ""},
    AdvancedCase{"PinMustBeASha256Fingerprint", kSeed, false, Delivery::kNone,
        {kOpen, Advanced(kOk, {{7015, "AB:CD:EF"}}), Advanced(kOk, {{7015, kPinTyped + "00"}}),
         Advanced(kOk, {{7015, kPinTyped.substr(0, 63) + "g"}}), Advanced(kOk, {{7015, ""}}), Configure(kOk)},
        {Seen(IDS_ERR_BAD_FINGERPRINT), Seen(IDS_ERR_BAD_FINGERPRINT), Seen(IDS_ERR_BAD_FINGERPRINT)}, {}, "0|||", ""},
    // The stored login is checked by OK after the checks of the other entries.
    AdvancedCase{"OkChecksTheStoredLoginLast", "|25|||100|0||0|u1|Pw-1st!x|", false, Delivery::kNone,
        {Configure(kOk), Configure(kOk, {{7000, "smtp.example"}, {7002, "a@example.com"}, {7003, "b@example.com"}}),
         Configure(kCancel)},
        {Seen(IDS_ERR_NO_SMTP_SERVER), Seen(IDS_ERR_USER_WITHOUT_TLS)}, {}, "0|u1|Pw-1st!x|", ""},
    AdvancedCase{"UnreadablePasswordIsAskedForAgain", kSeedLogin, true, Delivery::kNone,
        {Configure(kOk), kOpen, Advanced(kOk, {{7012, "N3w-Pw!x"}}, -1, {7013}), Configure(kOk)},
        {Seen(IDS_ERR_USER_WITHOUT_PASSWORD)}, {Reading(7013, Seen(IDS_PASSWORD_UNREADABLE))}, "1|notify|N3w-Pw!x|",
        ""},
    // The test message takes the values of both dialogs as they are, saved or not.
    AdvancedCase{"TestMessageShowsTheDiagnosis", kSeed, false, Delivery::kDoneAtOnce,
        {Configure(kAdvanced, {{7000, "unsaved.example"}}), Advanced(kTestMail, {{7011, "u1"}, {7012, "Pw-1st!x"}}, 1),
         Advanced(kCancel), Configure(kCancel)},
        {Diagnosis(IDS_TEST_MAIL_SENT)}, {}, "0|||", "unsaved.example|1|u1|Pw-1st!x|"},
    AdvancedCase{"SlowTestMessageIsCancelled", kSeedLogin, false, Delivery::kSlow,
        {kOpen, Advanced(kTestMail), Advanced(kCancel), Configure(kCancel)},
        {Seen(IDS_TEST_MAIL_WAIT), Diagnosis(IDS_TEST_MAIL_CANCELLED)}, {}, "1|notify|0ld-Pw9|",
        "seed.example|1|notify|0ld-Pw9|"},
    AdvancedCase{"TestMessageThatCannotStart", kSeed, false, Delivery::kNotStarted,
        {kOpen, Advanced(kTestMail, {{7015, kPinTyped}}), Advanced(kCancel), Configure(kCancel)},
        {Seen(IDS_TEST_MAIL_NOT_STARTED)}, {}, "0|||", "seed.example|0|||" + kPin},
    AdvancedCase{"TestMessageIsCheckedFirst", "|25|||100|0|", false, Delivery::kDoneAtOnce,
        {kOpen, Advanced(kTestMail), Advanced(kCancel), Configure(kCancel)},
        {Seen(IDS_ERR_NO_SMTP_SERVER)}, {}, "0|||", ""}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

}  // namespace
}  // namespace qbtest
