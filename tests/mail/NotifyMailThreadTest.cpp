// The delivery worker: jobs start at a tick in queue order, failed and expired jobs are
// reaped, CanUnload follows the queue, names resolve through the hidden window, the window
// survives Enter and Escape and is deleted once when closed, and Stop drops every job and
// returns only after the worker is gone. Ticks are posted by the tests; the tick count is
// injected.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "MailTestSupport.h"
#include "ScriptedSmtpServer.h"
#include "addon/NotifyAddOnApp.h"
#include "mail/NotifyMailThread.h"
#include "mail/NotifySmtpClient.h"
#include "mail/NotifySocketWnd.h"
#include "settings/NotifyConfig.h"

namespace {

using namespace std::chrono_literals;

// What the test learns about its jobs, from the worker thread.
struct Journal {
  std::mutex mutex;
  std::vector<int> started;    // ids in the order their Start ran
  std::vector<int> destroyed;  // ids in the order they were deleted
  std::atomic<fw::HWND> window{nullptr};

  bool WasDestroyed(int id) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(destroyed.begin(), destroyed.end(), id) != destroyed.end();
  }
};

// A job that tells the journal when it starts (its first change of state, on the worker
// thread, inside Start), which window the worker had then, and when it is deleted.
class ObservedJob : public CNotifySmtpClient {
 public:
  ObservedJob(CNotifyMailThread* pOwner, const CNotifyConfig& config, const std::string& infoFile,
              const std::string& logFile, Journal& journal, int id, mailtest::StateRecorder* states = nullptr)
      : CNotifySmtpClient(pOwner, &config, infoFile.c_str(), logFile.c_str(), 0), m_journal(journal), m_id(id) {
    auto forward = states ? states->Observer() : StateObserver();
    SetStateObserver([this, forward](SmtpState from, SmtpState to) {
      if (from == SmtpState::Idle) {
        std::lock_guard<std::mutex> lock(m_journal.mutex);
        m_journal.started.push_back(m_id);
        CNotifySocketWnd* pWnd = GetSocketWnd();
        m_journal.window = pWnd ? pWnd->GetSafeHwnd() : nullptr;
      }
      if (forward) forward(from, to);
    });
  }
  ~ObservedJob() override {
    std::lock_guard<std::mutex> lock(m_journal.mutex);
    m_journal.destroyed.push_back(m_id);
  }

 private:
  Journal& m_journal;
  int m_id;
};

CNotifyConfig IncompleteConfig() {
  CNotifyConfig config;
  config.m_strDeliverTo = "rcpt@example.org";
  config.m_strFromEmail = "notify@example.org";  // no server
  return config;
}

CNotifyConfig ServerConfig(const std::string& server, std::uint16_t port) {
  CNotifyConfig config;
  config.m_strSmtpServer = server;
  config.m_nSmtpPort = port;
  config.m_strDeliverTo = "rcpt@example.org";
  config.m_strFromEmail = "notify@example.org";
  return config;
}

using mailtest::WaitUntil;

class MailThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_worker = new CNotifyMailThread;
    ASSERT_TRUE(m_worker->IsRunning());
  }
  void TearDown() override {
    if (m_worker) m_worker->Stop();
  }

  // A job that fails at its start; its deletion shows that a tick has run completely.
  int AddProbe() {
    const int id = m_nextProbe++;
    m_worker->AddJob(std::make_unique<ObservedJob>(m_worker, m_incomplete, m_dir.File("probe.txt"),
                                                   m_dir.File("probe.log"), m_journal, id));
    return id;
  }
  // Posts a tick and waits until it has run.
  void Tick() {
    const int probe = AddProbe();
    ASSERT_TRUE(m_worker->PostThreadMessage(fw::kWmTimer, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return m_journal.WasDestroyed(probe); }));
  }

  mailtest::TempDir m_dir;
  Journal m_journal;
  CNotifyConfig m_incomplete = IncompleteConfig();
  CNotifyMailThread* m_worker = nullptr;
  int m_nextProbe = 1000;
};

TEST_F(MailThreadTest, StartsQueuedJobsInOrderAndDropsFailedOnesInTheSameTick) {
  std::vector<std::string> files;
  for (int id = 0; id < 3; ++id) {
    files.push_back(m_dir.File("Information_" + std::to_string(id) + ".txt"));
    files.push_back(m_dir.File("Log_" + std::to_string(id) + ".txt"));
    mailtest::WriteFile(files[files.size() - 2], "event\r\n");
    mailtest::WriteFile(files.back(), "");
    m_worker->AddJob(
        std::make_unique<ObservedJob>(m_worker, m_incomplete, files[files.size() - 2], files.back(), m_journal, id));
  }
  EXPECT_FALSE(m_worker->CanUnload());

  ASSERT_TRUE(m_worker->PostThreadMessage(fw::kWmTimer, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return m_worker->CanUnload(); }));
  std::lock_guard<std::mutex> lock(m_journal.mutex);
  EXPECT_EQ(m_journal.started, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(m_journal.destroyed, (std::vector<int>{0, 1, 2}));
  for (const std::string& file : files) EXPECT_FALSE(mailtest::FileExists(file)) << file;
}

TEST_F(MailThreadTest, CanUnloadIsFalseFromAddMailUntilTheJobIsDeleted) {
  const std::string info = m_dir.File("Information_1_1.txt");
  const std::string log = m_dir.File("Log_1_1.txt");
  mailtest::WriteFile(info, "event\r\n");
  mailtest::WriteFile(log, "line\r\n");
  EXPECT_TRUE(m_worker->CanUnload());
  EXPECT_TRUE(m_worker->AddMail(&m_incomplete, info.c_str(), log.c_str(), 1));
  EXPECT_FALSE(m_worker->CanUnload());
  EXPECT_TRUE(mailtest::FileExists(info));
  Tick();
  EXPECT_TRUE(m_worker->CanUnload());
  EXPECT_FALSE(mailtest::FileExists(info));
  EXPECT_FALSE(mailtest::FileExists(log));
}

TEST_F(MailThreadTest, SilentServerIsDroppedByTheFirstTickAfterTheIdleTimeout) {
  mailtest::ManualTickCount ticks(5000);
  ScriptedSmtpServer server({});
  mailtest::StateRecorder states;
  const CNotifyConfig config = ServerConfig("127.0.0.1", server.Port());
  m_worker->AddJob(
      std::make_unique<ObservedJob>(m_worker, config, m_dir.File("i.txt"), m_dir.File("l.txt"), m_journal, 1, &states));
  Tick();
  ASSERT_TRUE(states.WaitFor(SmtpState::AwaitGreeting));
  ASSERT_TRUE(WaitUntil([&] { return server.Accepted(); }));

  ticks.Advance(120000);
  Tick();
  EXPECT_FALSE(m_journal.WasDestroyed(1));
  EXPECT_FALSE(m_worker->CanUnload());

  ticks.Advance(1);
  Tick();
  EXPECT_TRUE(m_journal.WasDestroyed(1));
  EXPECT_TRUE(m_worker->CanUnload());
  EXPECT_TRUE(server.Wait(10s)) << "the connection was not closed";
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
}

TEST_F(MailThreadTest, ResolvesNamesThroughTheHiddenWindow) {
  ScriptedSmtpServer server({ServerStep::Make(ServerStep::Kind::Say, "421 busy\r\n"),
                             ServerStep::Make(ServerStep::Kind::ExpectLine, "QUIT"),
                             ServerStep::Make(ServerStep::Kind::Say, "221 bye\r\n")});
  mailtest::StateRecorder states;
  const CNotifyConfig config = ServerConfig("localhost", server.Port());
  auto pJob =
      std::make_unique<ObservedJob>(m_worker, config, m_dir.File("i.txt"), m_dir.File("l.txt"), m_journal, 1, &states);
  m_worker->AddJob(std::move(pJob));
  Tick();
  ASSERT_TRUE(states.WaitFor(SmtpState::Closed));
  EXPECT_EQ(states.Trace(), "Idle -> AwaitGreeting -> AwaitQuitReply -> Closed");
  {
    // The lookup went through the window: the job left Idle only after the tick's probe.
    std::lock_guard<std::mutex> lock(m_journal.mutex);
    EXPECT_EQ(m_journal.started, (std::vector<int>{1000, 1}));
  }
  Tick();
  EXPECT_TRUE(m_journal.WasDestroyed(1));
  EXPECT_TRUE(server.Wait(10s));
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
}

TEST_F(MailThreadTest, StopDropsPendingAndActiveJobsAndReturnsAfterTheWorkerIsGone) {
  ScriptedSmtpServer server({});
  mailtest::StateRecorder states;
  const CNotifyConfig config = ServerConfig("127.0.0.1", server.Port());
  const std::string activeInfo = m_dir.File("Information_1.txt");
  const std::string pendingInfo = m_dir.File("Information_2.txt");
  const std::string pendingLog = m_dir.File("Log_2.txt");
  mailtest::WriteFile(activeInfo, "event\r\n");
  mailtest::WriteFile(pendingInfo, "event\r\n");
  mailtest::WriteFile(pendingLog, "line\r\n");
  m_worker->AddJob(
      std::make_unique<ObservedJob>(m_worker, config, activeInfo, m_dir.File("Log_1.txt"), m_journal, 1, &states));
  Tick();
  ASSERT_TRUE(states.WaitFor(SmtpState::AwaitGreeting));
  m_worker->AddJob(std::make_unique<ObservedJob>(m_worker, config, pendingInfo, pendingLog, m_journal, 2));

  CNotifyAddOnApp app;
  app.SetMailThread(m_worker);
  std::exchange(m_worker, nullptr)->Stop();

  EXPECT_EQ(app.m_pMailThread, nullptr);
  EXPECT_TRUE(m_journal.WasDestroyed(1));
  EXPECT_TRUE(m_journal.WasDestroyed(2));
  EXPECT_FALSE(mailtest::FileExists(activeInfo));
  EXPECT_FALSE(mailtest::FileExists(pendingInfo));
  EXPECT_FALSE(mailtest::FileExists(pendingLog));
  EXPECT_TRUE(server.Wait(10s)) << "the connection was not closed";
}

TEST_F(MailThreadTest, HiddenWindowIgnoresEnterAndEscapeAndIsDeletedOnceWhenClosed) {
  Tick();
  const fw::HWND window = m_journal.window;
  ASSERT_NE(window, nullptr);

  ASSERT_TRUE(fw::CWnd::PostMessage(window, fw::kWmCommand, fw::kIdOk, 0));
  ASSERT_TRUE(fw::CWnd::PostMessage(window, fw::kWmCommand, fw::kIdCancel, 0));
  Tick();
  EXPECT_EQ(m_journal.window.load(), window);

  ASSERT_TRUE(fw::CWnd::PostMessage(window, fw::kWmClose, 0, 0));
  Tick();
  EXPECT_EQ(m_journal.window.load(), nullptr);

  // Without the window a name is resolved by a blocking lookup, and the job still goes on.
  ScriptedSmtpServer server({ServerStep::Make(ServerStep::Kind::Say, "421 busy\r\n"),
                             ServerStep::Make(ServerStep::Kind::ExpectLine, "QUIT"),
                             ServerStep::Make(ServerStep::Kind::Say, "221 bye\r\n")});
  mailtest::StateRecorder states;
  const CNotifyConfig config = ServerConfig("localhost", server.Port());
  m_worker->AddJob(
      std::make_unique<ObservedJob>(m_worker, config, m_dir.File("i.txt"), m_dir.File("l.txt"), m_journal, 1, &states));
  Tick();
  {
    // Resolved inside Start, before the probe queued after it.
    std::lock_guard<std::mutex> lock(m_journal.mutex);
    ASSERT_GE(m_journal.started.size(), 2u);
    EXPECT_EQ(m_journal.started[m_journal.started.size() - 2], 1);
  }
  ASSERT_TRUE(states.WaitFor(SmtpState::Closed));
  EXPECT_EQ(states.Trace(), "Idle -> AwaitGreeting -> AwaitQuitReply -> Closed");
  EXPECT_TRUE(server.Wait(10s));
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
  // TearDown's Stop deletes the worker, which must not free the window a second time.
}

}  // namespace
