// The worker thread: start-up handshake, posted messages, thread timers, the end of the loop
// and self-deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "async_test_support.h"
#include "framework/thread.h"

namespace {

using qbtest::EventLog;
using qbtest::LoopThread;

class RecordingThread : public fw::CWinThread {
 public:
  RecordingThread(EventLog& log, bool initResult, bool* deleted = nullptr)
      : m_log(log), m_bInitResult(initResult), m_pDeleted(deleted) {}
  ~RecordingThread() override {
    m_log.Add(std::this_thread::get_id() == m_initThread ? "deleted on thread" : "deleted elsewhere");
    if (m_pDeleted) *m_pDeleted = true;
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
    m_log.Add("message " + std::to_string(message) + ":" + std::to_string(wParam));
  }

 private:
  EventLog& m_log;
  bool m_bInitResult;
  bool* m_pDeleted;
  std::thread::id m_initThread;
};

TEST(WinThread, RunsMessagesInOrderThenExitsAndDeletesItself) {
  EventLog log;
  auto* thread = new RecordingThread(log, true);
  fw::ThreadEnd end = thread->GetThreadEnd();
  ASSERT_TRUE(thread->CreateThread());
  EXPECT_EQ(log.Events(), std::vector<std::string>{"init"});  // InitInstance ran before the return

  for (fw::WPARAM i = 0; i < 5; ++i) EXPECT_TRUE(thread->PostThreadMessage(fw::kWmUser, i, 0));
  EXPECT_TRUE(thread->PostThreadMessage(fw::kWmQuit, 0, 0));
  end.Wait();

  const std::string user = std::to_string(fw::kWmUser);
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"init", "message " + user + ":0", "message " + user + ":1",
                                                    "message " + user + ":2", "message " + user + ":3",
                                                    "message " + user + ":4", "exit", "deleted on thread"}));
  end.Wait();  // a second wait returns at once
}

TEST(WinThread, FailedInitInstanceEndsTheThreadAndKeepsTheObject) {
  EventLog log;
  bool deleted = false;
  {
    RecordingThread thread(log, false, &deleted);
    EXPECT_FALSE(thread.CreateThread());
    EXPECT_EQ(log.Events(), std::vector<std::string>{"init"});  // no ExitInstance
    EXPECT_FALSE(deleted);
    EXPECT_FALSE(thread.PostThreadMessage(fw::kWmUser, 0, 0));
    thread.GetThreadEnd().Wait();
  }
  EXPECT_TRUE(deleted);
  EXPECT_EQ(log.Events().back(), "deleted elsewhere");
}

TEST(WinThread, PostingFailsBeforeStartAndAfterTheLoopEnded) {
  EventLog log;
  bool deleted = false;
  RecordingThread thread(log, true, &deleted);
  thread.m_bAutoDelete = false;
  EXPECT_FALSE(thread.PostThreadMessage(fw::kWmUser, 0, 0));
  fw::ThreadEnd().Wait();  // no thread: returns at once

  ASSERT_TRUE(thread.CreateThread());
  ASSERT_TRUE(thread.PostThreadMessage(fw::kWmQuit, 0, 0));
  thread.GetThreadEnd().Wait();
  EXPECT_FALSE(deleted);  // m_bAutoDelete false keeps the object
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"init", "exit"}));
  EXPECT_FALSE(thread.PostThreadMessage(fw::kWmUser, 0, 0));
}

TEST(WinThread, TimerTicksCarryItsIdUntilKilled) {
  EventLog log;
  std::atomic<fw::UINT_PTR> id{0};
  LoopThread thread;
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(thread.Call([&] {
    thread.onOtherMessage = [&](fw::UINT message, fw::WPARAM wParam, fw::LPARAM) {
      if (message != fw::kWmTimer) return;
      log.Add(wParam == id.load() ? "tick" : "foreign tick");
      if (log.Count("tick") == 3) log.Add(fw::CWinThread::KillTimer(wParam) ? "killed" : "kill failed");
    };
    id = fw::CWinThread::SetTimer(20);
  }));
  EXPECT_NE(id.load(), 0u);
  ASSERT_TRUE(log.WaitFor("killed"));
  // Two round trips through the loop after the kill: no tick follows it.
  ASSERT_TRUE(thread.Call([] {}));
  ASSERT_TRUE(thread.Call([&] { log.Add(fw::CWinThread::KillTimer(id) ? "killed twice" : "gone"); }));
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"tick", "tick", "tick", "killed", "gone"}));
}

TEST(WinThread, LateTimerTicksDoNotPileUp) {
  using Clock = std::chrono::steady_clock;
  std::mutex mutex;
  std::vector<Clock::time_point> ticks;
  EventLog log;
  LoopThread thread;
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(thread.Call([&] {
    thread.onOtherMessage = [&](fw::UINT message, fw::WPARAM wParam, fw::LPARAM) {
      if (message != fw::kWmTimer) return;
      std::size_t count;
      {
        std::lock_guard<std::mutex> lock(mutex);
        ticks.push_back(Clock::now());
        count = ticks.size();
      }
      // The first tick keeps the thread busy for several intervals.
      if (count == 1) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (count == 3) {
        fw::CWinThread::KillTimer(wParam);
        log.Add("done");
      }
    };
    fw::CWinThread::SetTimer(40);
  }));
  ASSERT_TRUE(log.WaitFor("done"));
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(ticks.size(), 3u);
  // Missed ticks are not delivered back to back: the third comes an interval after the second.
  EXPECT_GE(ticks[2] - ticks[1], std::chrono::milliseconds(20));
}

}  // namespace
