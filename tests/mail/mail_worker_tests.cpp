// The delivery worker: jobs start at a tick in queue order, failed and expired jobs go with
// their files, CanUnload follows the queue, names resolve through the hidden window, which
// survives Enter and Escape and is deleted once, and Stop drops every job on the worker's
// thread without waiting for a resolver. The tests post the ticks; the tick count is injected.
// Under the application object the worker ends when it runs out of work, CanUnload ends an
// idle one, and a later mail starts a new one (with the worker's own one-second ticks).
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "addon/NotifyAddOnApp.h"
#include "mail/NotifyMailThread.h"
#include "mail/NotifySocketWnd.h"
#include "mail_test_support.h"

#if !defined(_WIN32)
#include "framework/posix/resolver.h"
#endif

namespace mailtest {
namespace {

// Pairs of journal files, Information_N.txt and Log_N.txt for N from 1 to `count`, in `dir`.
std::vector<std::string> JournalFiles(const qbtest::TempDir& dir, int count) {
  std::vector<std::string> files;
  for (int id = 1; id <= count; ++id) {
    for (const char* name : {"Information_", "Log_"}) {
      files.push_back(dir.File(name + std::to_string(id) + ".txt"));
      qbtest::WriteBytes(files.back(), "line\r\n");
    }
  }
  return files;
}

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
    m_worker->AddJob(std::make_unique<ObservedJob>(m_worker.get(), config, infoFile, logFile, m_events, id, states));
  }
  // Posts a tick and waits until it has run: a job without a server, queued before it, is
  // deleted by it.
  void Tick() {
    const std::string probe = std::to_string(m_nextProbe++);
    AddJob(MailConfig("", 25), m_dir.File("probe.txt"), m_dir.File("probe.log"), std::stoi(probe));
    ASSERT_TRUE(m_worker->PostThreadMessage(fw::kWmTimer, 0, 0));
    ASSERT_TRUE(m_events.WaitFor("deleted " + probe));
  }
  // A trace that outlives the worker's jobs: a failed assertion leaves the test before its
  // jobs are gone, and TearDown stops the worker before the fixture's members go.
  StateTrace& NewTrace() { return m_traces.emplace_back(); }
  bool Deleted(int id) const { return m_events.Count("deleted " + std::to_string(id)) == 1; }

  qbtest::TempDir m_dir;
  qbtest::EventLog m_events;
  std::unique_ptr<CNotifyMailThread> m_worker = std::make_unique<CNotifyMailThread>();
  int m_nextProbe = 1000;
  std::deque<StateTrace> m_traces;
};

TEST_F(MailThreadTest, JobsStartInQueueOrderAndFailedOnesGoWithTheirFilesInTheSameTick) {
  const std::vector<std::string> files = JournalFiles(m_dir, 3);
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
  StateTrace& states = NewTrace();
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
  for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;
}

TEST_F(MailThreadTest, NamesResolveThroughTheHiddenWindowWhichIgnoresEnterAndEscapeAndIsDeletedOnce) {
  const Script busy = {{"S", "421 busy"}, {"C", "QUIT"}, {"S", "221 bye"}};
  for (const bool withWindow : {true, false}) {
    SCOPED_TRACE(withWindow ? "window" : "no window");
    ScriptedSmtpServer server(busy);
    StateTrace& states = NewTrace();
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
    for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;
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

TEST_F(MailThreadTest, StopDropsPendingAndActiveJobsWithTheirFilesAndTakesNoMoreJobs) {
  ScriptedSmtpServer server({});
  StateTrace& states = NewTrace();
  const CNotifyConfig config = MailConfig("127.0.0.1", server.Port());
  const std::vector<std::string> files = JournalFiles(m_dir, 3);
  AddJob(config, files[0], files[1], 1, &states);
  Tick();
  ASSERT_TRUE(states.WaitForState("AwaitGreeting"));
  AddJob(config, files[2], files[3], 2);

  m_worker->Stop();
  EXPECT_TRUE(Deleted(1) && Deleted(2));
  for (std::size_t i = 0; i < 4; ++i) EXPECT_FALSE(qbtest::FileExists(files[i])) << files[i];
  EXPECT_TRUE(m_worker->IsClosed());
  EXPECT_FALSE(m_worker->AddMail(&config, files[4].c_str(), files[5].c_str(), 1));  // the files stay the caller's
  EXPECT_TRUE(qbtest::FileExists(files[4]) && qbtest::FileExists(files[5]));
  for (const std::string& failure : server.Finish()) ADD_FAILURE() << failure;
}

#if !defined(_WIN32)
// c-ares in the worker's loop: a lookup that its name server never answers is cancelled at
// once when the worker stops (getaddrinfo on a helper thread would be waited for).
TEST_F(MailThreadTest, StopDoesNotWaitForANameServerThatNeverAnswers) {
  qbtest::LoopbackNameServer nameServer;
  fw::posix::testing::SetResolverServers(nameServer.Address());  // for the worker's resolver, made at its first lookup
  const struct Restore {
    ~Restore() { fw::posix::testing::SetResolverServers(""); }
  } restore;
  StateTrace& states = NewTrace();
  const std::string info = m_dir.File("i.txt"), log = m_dir.File("l.txt");
  qbtest::WriteBytes(info, "event\r\n");
  AddJob(MailConfig("mail.unanswered.example", 25), info, log, 1, &states);
  Tick();
  ASSERT_TRUE(nameServer.WaitForQuery());
  qbtest::WithinPatience("Stop with a lookup under way", [&] { m_worker->Stop(); });
  EXPECT_EQ(states.Trace(), "Idle -> AwaitLookup");
  EXPECT_TRUE(Deleted(1));
  EXPECT_FALSE(qbtest::FileExists(info));
}
#endif

TEST(ApplicationWorker, EndsWhenOutOfWorkAndCanUnloadEndsAnIdleOneSoALaterMailStartsANewOne) {
  qbtest::TempDir dir;
  const std::vector<std::string> files = JournalFiles(dir, 2);
  const CNotifyConfig incomplete = MailConfig("", 25);  // each job fails at its first tick
  CNotifyAddOnApp app;
  EXPECT_TRUE(app.CanUnload());
  ASSERT_TRUE(app.QueueMail(&incomplete, files[0].c_str(), files[1].c_str(), 1));
  CNotifyMailThread* const first = app.m_pMailThread;
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(app.CanUnload());
  EXPECT_EQ(app.m_pMailThread, first);

  // The first tick deletes the failed job; out of work, the worker ends and takes no more jobs.
  ASSERT_TRUE(qbtest::Eventually([&] { return first->IsClosed(); }));
  EXPECT_FALSE(qbtest::FileExists(files[0]) || qbtest::FileExists(files[1]));
  EXPECT_FALSE(first->AddMail(&incomplete, files[2].c_str(), files[3].c_str(), 1));
  EXPECT_TRUE(qbtest::FileExists(files[2]) && qbtest::FileExists(files[3]));

  // The next mail goes to a new worker, which CanUnload ends once it is idle.
  ASSERT_TRUE(app.QueueMail(&incomplete, files[2].c_str(), files[3].c_str(), 1));
  ASSERT_NE(app.m_pMailThread, nullptr);
  EXPECT_FALSE(app.m_pMailThread->IsClosed());
  EXPECT_FALSE(app.CanUnload());
  ASSERT_TRUE(qbtest::Eventually([&] { return app.CanUnload(); }));
  EXPECT_EQ(app.m_pMailThread, nullptr);
  EXPECT_FALSE(qbtest::FileExists(files[2]) || qbtest::FileExists(files[3]));
}

}  // namespace
}  // namespace mailtest
