// The test message on a real delivery worker: its own short German message, the diagnosis the
// dialog shows, no failure record, a cancel that ends it at once, and the application's worker
// that it starts on. (A job's failure record is checked through the sink in the conversation
// cases; tests/framework checks that a record reaches the system log.)
#include <gtest/gtest.h>

#include "addon/NotifyAddOnApp.h"
#include "framework/codepage.h"
#include "mail/NotifyMailThread.h"
#include "mail/TestMailJob.h"
#include "mail_test_support.h"

namespace mailtest {
namespace {

class TestMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_worker->IsRunning());
    TakeFailureRecords();
  }
  void TearDown() override { m_worker->Stop(); }

  // Starts the test and runs the worker's ticks until it is done.
  std::shared_ptr<CTestMail> Run(const CNotifyConfig& config) {
    std::shared_ptr<CTestMail> test = StartTestMail(*m_worker, config);
    EXPECT_TRUE(qbtest::Eventually([&] {
      m_worker->PostThreadMessage(fw::kWmTimer, 0, 0);
      return test->IsDone();
    }));
    return test;
  }
  static std::vector<std::string> Diagnosis(const CTestMail& test) {
    return SplitLines(fw::Windows1252ToUtf8(test.GetDiagnosis()));
  }

  std::unique_ptr<CNotifyMailThread> m_worker = std::make_unique<CNotifyMailThread>();
};

TEST_F(TestMailTest, SendsItsOwnShortMessageAndTellsEveryStep) {
  CNotifyConfig config = MailConfig("127.0.0.1", 0);
  config.m_strProfile = "Main server";
  config.m_nLogLines = 100;  // no log part all the same
  Script script = kUntilData;
  script.push_back({"S", "354 go"});
  for (const char* line : {"Message-ID*", "From*", "To*", "Subject: Testnachricht des FTP Quorbit Notify Add-On",
                           "Date*", "MIME*", "Content-Type*", "\tcharset*", "Content-Transfer*", "",
                           "Dies ist eine Testnachricht des FTP Quorbit Notify Add-On.", "",
                           "Sie wurde mit den Einstellungen f\xfcr das Serverprofil \"Main server\" \xfc"
                           "ber den Server 127.0.0.1, Port *",
                           "", "."}) {
    script.push_back({"D", line});
  }
  script.insert(script.end(), {{"S", "250 queued as 1"}, {"C", "QUIT"}, {"S", "221 bye"}});
  ScriptedSmtpServer server(script);
  config.m_nSmtpPort = server.Port();

  const std::shared_ptr<CTestMail> test = Run(config);
  for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;
  EXPECT_TRUE(test->Succeeded());
  const std::vector<std::string> lines = Diagnosis(*test);
  ASSERT_EQ(lines.size(), 9u) << test->GetDiagnosis();
  EXPECT_EQ(lines[0], "Namensauflösung: nicht nötig, 127.0.0.1 ist eine IP-Adresse.");
  EXPECT_EQ(lines[2], "Begrüßung: 220 ready");
  EXPECT_EQ(lines[7], "Antwort auf die Nachricht: 250 queued as 1");
  EXPECT_EQ(lines[8], "Ergebnis: Die Testnachricht wurde vom Server angenommen.");
  EXPECT_TRUE(TakeFailureRecords().empty());
}

TEST_F(TestMailTest, AFailureNamesTheStepAndTheServersReplyAndLeavesNoRecord) {
  Script script(kUntilData.begin(), kUntilData.begin() + 4);
  script.insert(script.end(), {{"S", "553 5.7.1 sender not allowed"}, {"C", "QUIT"}, {"S", "221 bye"}});
  ScriptedSmtpServer server(script);
  const std::shared_ptr<CTestMail> refused = Run(MailConfig("127.0.0.1", server.Port()));
  for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;
  EXPECT_FALSE(refused->Succeeded());
  const std::vector<std::string> lines = Diagnosis(*refused);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"Absender notify@example.org: 553 5.7.1 sender not allowed",
                                      "Ergebnis: Fehler im Schritt \"Absender (MAIL FROM)\": Der Server hat den "
                                      "Absender abgelehnt.",
                                      "Antwort des Servers: 553 5.7.1 sender not allowed"}));
  EXPECT_TRUE(TakeFailureRecords().empty());
}

TEST_F(TestMailTest, CancelEndsItAtOnceAndClosesTheConnection) {
  ScriptedSmtpServer server({});  // accepts and never says a word
  const std::shared_ptr<CTestMail> test = StartTestMail(*m_worker, MailConfig("127.0.0.1", server.Port()));
  ASSERT_TRUE(m_worker->PostThreadMessage(fw::kWmTimer, 0, 0));
  ASSERT_TRUE(qbtest::Eventually([&] { return server.Accepted(); }));
  EXPECT_FALSE(test->IsDone());
  test->Cancel();
  EXPECT_TRUE(test->IsDone());
  EXPECT_FALSE(test->Succeeded());
  EXPECT_EQ(Diagnosis(*test).back(), "Der Test wurde abgebrochen.");
  for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;  // the client closed
  test->Cancel();                                                               // once more: nothing happens
  m_worker->PostThreadMessage(fw::kWmTimer, 0, 0);
  EXPECT_TRUE(qbtest::Eventually([&] { return m_worker->CanUnload(); }));
  EXPECT_TRUE(TakeFailureRecords().empty());
}

TEST(TestMailStart, UsesTheApplicationsWorker) {
  EXPECT_EQ(CTestMail::Start(MailConfig("", 25)), nullptr) << "without the module's application";
  CNotifyAddOnApp app;
  const std::shared_ptr<CTestMail> test = CTestMail::Start(MailConfig("", 25));  // fails at the first tick
  ASSERT_NE(test, nullptr);
  CNotifyMailThread* const worker = app.m_pMailThread;
  ASSERT_TRUE(qbtest::Eventually([&] { return test->IsDone() && worker->IsClosed(); }));
  EXPECT_EQ(fw::Windows1252ToUtf8(test->GetDiagnosis()),
            "Ergebnis: Fehler im Schritt \"Vorbereitung\": Die Einstellungen sind unvollständig.");
}

}  // namespace
}  // namespace mailtest
