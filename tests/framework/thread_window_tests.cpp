// The worker thread (start-up handshake, posted messages, thread timers, the end of the loop,
// self-deletion) and the windows of a worker thread (creation with kWmInitDialog, message
// routing, the destroy sequence and messages that arrive too late). Deleting a window at any
// point is exercised by the delivery worker's hidden window. Debug builds catch a socket, a
// window or a timer used on another thread than its own (natively, as death tests).
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "framework/async_socket.h"
#include "framework/thread.h"
#include "framework/wnd.h"
#include "resource.h"
#include "test_support.h"

namespace {

using qbtest::EventLog;
using Events = std::vector<std::string>;

class RecordingThread : public fw::CWinThread {
 public:
  RecordingThread(EventLog& log, bool initResult) : m_log(log), m_bInitResult(initResult) {}
  ~RecordingThread() override {
    m_log.Add(std::this_thread::get_id() == m_initThread ? "deleted on thread" : "deleted");
  }
  bool InitInstance() override {
    m_initThread = std::this_thread::get_id();
    m_log.Add("init");
    return m_bInitResult;
  }
  int ExitInstance() override {
    m_log.Add("exit");
    return 0;
  }
  void OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM) override {
    m_log.Add(std::to_string(message - fw::kWmUser) + ":" + std::to_string(wParam));
  }

 private:
  EventLog& m_log;
  bool m_bInitResult;
  std::thread::id m_initThread;
};

TEST(WinThread, RunsMessagesInOrderThenExitsAndDeletesItselfOnItsThread) {
  EventLog log;
  auto* thread = new RecordingThread(log, true);
  EXPECT_FALSE(thread->PostThreadMessage(fw::kWmUser, 9, 0));  // not started
  const fw::ThreadEnd end = thread->GetThreadEnd();
  ASSERT_TRUE(thread->CreateThread());
  EXPECT_EQ(log.Events(), Events{"init"});  // InitInstance ran before the return
  for (fw::WPARAM i = 0; i < 3; ++i) EXPECT_TRUE(thread->PostThreadMessage(fw::kWmUser, i, 0));
  EXPECT_TRUE(thread->PostThreadMessage(fw::kWmQuit, 0, 0));
  end.Wait();
  EXPECT_EQ(log.Events(), (Events{"init", "0:0", "0:1", "0:2", "exit", "deleted on thread"}));
  end.Wait();  // a second wait returns at once
}

TEST(WinThread, FailedInitInstanceEndsTheThreadAndKeepsTheObject) {
  EventLog log;
  {
    RecordingThread thread(log, false);
    EXPECT_FALSE(thread.CreateThread());
    EXPECT_FALSE(thread.PostThreadMessage(fw::kWmUser, 0, 0));
    thread.GetThreadEnd().Wait();
    EXPECT_EQ(log.Events(), Events{"init"});  // no ExitInstance, not deleted
  }
  EXPECT_EQ(log.Events(), (Events{"init", "deleted"}));
}

TEST(WinThread, TimerTicksCarryTheirIdUntilKilledAndLateOnesDoNotPileUp) {
  using Clock = std::chrono::steady_clock;
  EventLog log;
  std::vector<Clock::time_point> ticks;  // the loop thread only
  qbtest::LoopThread thread;
  fw::UINT_PTR id = 0;
  thread.Run([&] {
    thread.onOtherMessage = [&](fw::UINT message, fw::WPARAM wParam, fw::LPARAM) {
      if (message != fw::kWmTimer) return;
      log.Add(wParam == id ? "tick" : "foreign tick");
      ticks.push_back(Clock::now());
      // The first tick keeps the thread busy for several intervals.
      if (ticks.size() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (ticks.size() == 3) log.Add(fw::CWinThread::KillTimer(wParam) ? "killed" : "kill failed");
    };
    id = fw::CWinThread::SetTimer(40);
  });
  EXPECT_NE(id, 0u);
  ASSERT_TRUE(log.WaitFor("killed"));
  thread.Settle();  // no tick follows the kill
  thread.Run([&] { log.Add(fw::CWinThread::KillTimer(id) ? "killed twice" : "gone"); });
  EXPECT_EQ(log.Events(), (Events{"tick", "tick", "tick", "killed", "gone"}));
  // Missed ticks are not delivered back to back: the third comes an interval after the second.
  EXPECT_GE(ticks[2] - ticks[1], std::chrono::milliseconds(20));
}

constexpr fw::UINT kPing = fw::kWmUser + 7;

class RecordingDialog : public fw::CDialog {
 public:
  RecordingDialog(EventLog& log, bool deleteOnNcDestroy)
      : CDialog(IDD_QBNOTIFY_CONFIGURE), m_log(log), m_bDeleteOnNcDestroy(deleteOnNcDestroy) {}
  ~RecordingDialog() override { m_log.Add("deleted"); }

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override {
    const char* name = message == fw::kWmInitDialog  ? "init"
                       : message == fw::kWmDestroy   ? "destroy"
                       : message == fw::kWmNcDestroy ? "ncdestroy"
                       : message == fw::kWmClose     ? "close"
                       : message == kPing            ? "ping"
                                                     : nullptr;
    if (name) m_log.Add(name + (message == kPing ? " " + std::to_string(wParam) : ""));
    return CDialog::WindowProc(message, wParam, lParam);
  }
  bool OnInitDialog() override {
    m_log.Add("OnInitDialog");
    return CDialog::OnInitDialog();
  }
  void PostNcDestroy() override {
    m_log.Add("PostNcDestroy");
    if (m_bDeleteOnNcDestroy) delete this;
  }

 private:
  EventLog& m_log;
  bool m_bDeleteOnNcDestroy;
};

class WindowTest : public ::testing::Test {
 protected:
  EventLog m_log;
  qbtest::LoopThread m_thread;  // last: ends before the members its thread uses
};

TEST_F(WindowTest, CreateHandlesInitDialogBeforeReturningAndPostedMessagesArriveInOrder) {
  fw::HWND handle = nullptr;
  m_thread.Run([&] {
    auto* dialog = new RecordingDialog(m_log, true);
    EXPECT_TRUE(dialog->Create());
    m_log.Add("created");
    handle = dialog->GetSafeHwnd();
  });
  ASSERT_NE(handle, nullptr);
  for (fw::WPARAM i = 0; i < 3; ++i) EXPECT_TRUE(fw::CWnd::PostMessage(handle, kPing, i, 0));  // from another thread
  m_thread.Run([&] { fw::CWnd::SendMessage(handle, fw::kWmClose, 0, 0); });
  EXPECT_EQ(m_log.Events(), (Events{"init", "OnInitDialog", "created", "ping 0", "ping 1", "ping 2", "close", "destroy",
                                    "ncdestroy", "PostNcDestroy", "deleted"}));
  EXPECT_FALSE(fw::CWnd::PostMessage(handle, kPing, 9, 0));  // the handle of a destroyed window finds nothing
}

TEST_F(WindowTest, DestroyClearsTheHandleAndDropsMessagesPostedBefore) {
  RecordingDialog dialog(m_log, false);
  m_thread.Run([&] {
    ASSERT_TRUE(dialog.Create());
    const fw::HWND handle = dialog.GetSafeHwnd();
    EXPECT_TRUE(fw::CWnd::PostMessage(handle, kPing, 1, 0));
    EXPECT_TRUE(dialog.DestroyWindow());
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
    EXPECT_FALSE(dialog.DestroyWindow());
    EXPECT_EQ(fw::CWnd::SendMessage(handle, kPing, 2, 0), 0);
  });
  m_thread.Settle();
  EXPECT_EQ(m_log.Events(), (Events{"init", "OnInitDialog", "destroy", "ncdestroy", "PostNcDestroy"}));
}

#if !defined(_WIN32) && !defined(NDEBUG) && GTEST_HAS_DEATH_TEST
struct OwnDialog : fw::CDialog {
  OwnDialog() : CDialog(IDD_QBNOTIFY_CONFIGURE) {}
};

template <typename Object>
Object* Created() {
  auto* created = new Object;
  created->Create();
  return created;
}

TEST(OwnerThreadDeathTest, ASocketAWindowAndATimerUsedOnAnotherThreadFailAnAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  using Use = std::function<void(qbtest::LoopThread&)>;
  // Each is made on the owner's loop and used on the test's thread.
  const std::vector<std::pair<const char*, Use>> uses = {
      {"socket closed", [](qbtest::LoopThread& owner) { owner.Run(Created<fw::CAsyncSocket>)->Close(); }},
      {"window destroyed", [](qbtest::LoopThread& owner) { owner.Run(Created<OwnDialog>)->DestroyWindow(); }},
      {"timer killed",
       [](qbtest::LoopThread& owner) {
         fw::CWinThread::KillTimer(owner.Run([] { return fw::CWinThread::SetTimer(60000); }));
       }},
  };
  for (const auto& [what, use] : uses) {
    SCOPED_TRACE(what);
    EXPECT_DEATH(
        {
          qbtest::LoopThread owner;
          use(owner);
        },
        "other than the one that created it");
  }
}
#endif

}  // namespace
