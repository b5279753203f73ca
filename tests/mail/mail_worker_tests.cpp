// The delivery worker: jobs start at a tick in queue order, failed and expired jobs go with
// their files, CanUnload follows the queue, names resolve through the hidden window, which
// survives Enter and Escape and is deleted once, and Stop drops every job and returns only
// after the worker is gone. The tests post the ticks; the tick count is injected.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "addon/NotifyAddOnApp.h"
#include "mail/NotifyMailThread.h"
#include "mail/NotifySocketWnd.h"
#include "mail_test_support.h"

namespace mailtest {
namespace {

// A job that records its start (its first change of state, inside Start on the worker
// thread) with the worker's window at that moment, and its deletion.
class ObservedJob : public CNotifySmtpClient {
 public:
  ObservedJob(CNotifyMailThread* pOwner, const CNotifyConfig& config, const std::string& infoFile,
              const std::string& logFile, qbtest::EventLog& events, int id, StateTrace* states = nullptr)
      : CNotifySmtpClient(pOwner, &config, infoFile.c_str(), logFile.c_str(), 0), m_events(events), m_id(id) {
    SetStateObserver([this, forward = states ? states->Observer() : StateObserver()](SmtpState from, SmtpState to) {
      if (from == SmtpState::Idle) {
        window = GetSocketWnd() ? GetSocketWnd()->GetSafeHwnd() : nullptr;
        m_events.Add("start " + std::to_string(m_id));
      }
      if (to == SmtpState::AwaitConnect) m_events.Add("connect " + std::to_string(m_id));
      if (forward) forward(from, to);
    });
  }
  ~ObservedJob() override { m_events.Add("deleted " + std::to_string(m_id)); }

  static inline std::atomic<fw::HWND> window{nullptr};

 private:
  qbtest::EventLog& m_events;
  int m_id;
};

class MailThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_worker->IsRunning()); }
  void TearDown() override {
    if (m_worker) m_worker->Stop();
  }
  void AddJob(const CNotifyConfig& config, const std::string& infoFile, const std::string& logFile, int id,
              StateTrace* states = nullptr) {
    m_worker->AddJob(std::make_unique<ObservedJob>(m_worker, config, infoFile, logFile, m_events, id, states));
  }
  // Posts a tick and waits until it has run: a job without a server, queued before it, is
  // deleted by it.
  void Tick() {
    const std::string probe = std::to_string(m_nextProbe++);
    AddJob(MailConfig("", 25), m_dir.File("probe.txt"), m_dir.File("probe.log"), std::stoi(probe));
    ASSERT_TRUE(m_worker->PostThreadMessage(fw::kWmTimer, 0, 0));
    ASSERT_TRUE(m_events.WaitFor("deleted " + probe));
  }
  bool Deleted(int id) const { return m_events.Count("deleted " + std::to_string(id)) == 1; }
  static void ExpectServerDone(ScriptedSmtpServer& server) {
    for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;
  }

  qbtest::TempDir m_dir;
  qbtest::EventLog m_events;
  CNotifyMailThread* m_worker = new CNotifyMailThread;  // deletes itself when its thread ends
  int m_nextProbe = 1000;
};

TEST_F(MailThreadTest, JobsStartInQueueOrderAndFailedOnesGoWithTheirFilesInTheSameTick) {
  std::vector<std::string> files;
  for (int id = 0; id < 3; ++id) {
    files.push_back(m_dir.File("Information_" + std::to_string(id) + ".txt"));
    files.push_back(m_dir.File("Log_" + std::to_string(id) + ".txt"));
    qbtest::WriteBytes(files[files.size() - 2], "event\r\n");
    qbtest::WriteBytes(files.back(), "line\r\n");
  }
  EXPECT_TRUE(m_worker->CanUnload());
  const CNotifyConfig incomplete = MailConfig("", 25);
  EXPECT_TRUE(m_worker->AddMail(&incomplete, files[0].c_str(), files[1].c_str(), 1));  // the host's way in
  EXPECT_FALSE(m_worker->CanUnload());
  AddJob(incomplete, files[2], files[3], 1);
  AddJob(incomplete, files[4], files[5], 2);
  EXPECT_TRUE(qbtest::FileExists(files[0]));

  ASSERT_TRUE(m_worker->PostThreadMessage(fw::kWmTimer, 0, 0));
  ASSERT_TRUE(qbtest::Eventually([&] { return m_worker->CanUnload(); }));
  EXPECT_EQ(m_events.Events(), (std::vector<std::string>{"start 1", "start 2", "deleted 1", "deleted 2"}));
  for (const std::string& file : files) EXPECT_FALSE(qbtest::FileExists(file)) << file;
}

TEST_F(MailThreadTest, SilentServerIsDroppedByTheFirstTickAfterTheIdleTimeout) {
  qbtest::ScopedClock clock(5000);
  ScriptedSmtpServer server({});
  StateTrace states;
  AddJob(MailConfig("127.0.0.1", server.Port()), m_dir.File("i.txt"), m_dir.File("l.txt"), 1, &states);
  Tick();
  ASSERT_TRUE(states.WaitForState("AwaitGreeting"));
  ASSERT_TRUE(qbtest::Eventually([&] { return server.Accepted(); }));

  clock.tick += 120000;
  Tick();
  EXPECT_FALSE(Deleted(1));
  EXPECT_FALSE(m_worker->CanUnload());
  clock.tick += 1;
  Tick();
  EXPECT_TRUE(Deleted(1));
  EXPECT_TRUE(m_worker->CanUnload());
  ExpectServerDone(server);
}

TEST_F(MailThreadTest, NamesResolveThroughTheHiddenWindowWhichIgnoresEnterAndEscapeAndIsDeletedOnce) {
  const Script busy = {{"S", "421 busy"}, {"C", "QUIT"}, {"S", "221 bye"}};
  for (const bool withWindow : {true, false}) {
    SCOPED_TRACE(withWindow ? "window" : "no window");
    ScriptedSmtpServer server(busy);
    StateTrace states;
    AddJob(MailConfig("localhost", server.Port()), m_dir.File("i.txt"), m_dir.File("l.txt"), withWindow, &states);
    Tick();
    ASSERT_TRUE(states.WaitForState("Closed"));
    EXPECT_EQ(states.Trace(), "Idle -> AwaitLookup -> AwaitConnect -> AwaitGreeting -> AwaitQuitReply -> Closed");
    const std::vector<std::string> events = m_events.Events();
    // Through the window the job connects only after the tick's probe is gone; a blocking
    // lookup connects inside Start, before it.
    const auto connected = std::find(events.begin(), events.end(), "connect " + std::to_string(withWindow));
    const auto probeDeleted = std::find(events.begin(), events.end(), "deleted " + std::to_string(m_nextProbe - 1));
    EXPECT_EQ(connected > probeDeleted, withWindow);
    Tick();
    EXPECT_TRUE(Deleted(withWindow));
    ExpectServerDone(server);
    if (!withWindow) break;

    StateTrace unknown;  // a name that does not resolve ends its job
    AddJob(MailConfig("nonexistent.invalid", 25), m_dir.File("i.txt"), m_dir.File("l.txt"), 5, &unknown);
    Tick();
    ASSERT_TRUE(unknown.WaitForState("Closed"));
    EXPECT_EQ(unknown.Trace(), "Idle -> AwaitLookup -> Closed");

    const fw::HWND window = ObservedJob::window;
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(fw::CWnd::PostMessage(window, fw::kWmCommand, fw::kIdOk, 0));
    ASSERT_TRUE(fw::CWnd::PostMessage(window, fw::kWmCommand, fw::kIdCancel, 0));
    Tick();
    EXPECT_EQ(ObservedJob::window.load(), window);
    ASSERT_TRUE(fw::CWnd::PostMessage(window, fw::kWmClose, 0, 0));
    Tick();
    EXPECT_EQ(ObservedJob::window.load(), nullptr);
  }
  // TearDown's Stop deletes the worker, which must not free the window a second time.
}

TEST_F(MailThreadTest, StopDropsPendingAndActiveJobsAndReturnsAfterTheWorkerIsGone) {
  ScriptedSmtpServer server({});
  StateTrace states;
  const CNotifyConfig config = MailConfig("127.0.0.1", server.Port());
  const std::vector<std::string> files = {m_dir.File("Information_1.txt"), m_dir.File("Log_1.txt"),
                                          m_dir.File("Information_2.txt"), m_dir.File("Log_2.txt")};
  for (const std::string& file : files) qbtest::WriteBytes(file, "line\r\n");
  AddJob(config, files[0], files[1], 1, &states);
  Tick();
  ASSERT_TRUE(states.WaitForState("AwaitGreeting"));
  AddJob(config, files[2], files[3], 2);

  CNotifyAddOnApp app;
  app.SetMailThread(m_worker);
  std::exchange(m_worker, nullptr)->Stop();
  EXPECT_EQ(app.m_pMailThread, nullptr);
  EXPECT_TRUE(Deleted(1) && Deleted(2));
  for (const std::string& file : files) EXPECT_FALSE(qbtest::FileExists(file)) << file;
  ExpectServerDone(server);
}

}  // namespace
}  // namespace mailtest
