// Helpers for the mail tests: a thread with a message loop that runs closures for the test
// (sockets and windows must live on such a thread), a controllable tick count, temporary
// journal files, and a recorder of the states a job goes through.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/thread.h"
#include "mail/SmtpState.h"

namespace mailtest {

// A worker thread whose loop runs closures posted by Run, in order.
class LoopThread : public fw::CWinThread {
 public:
  LoopThread();
  ~LoopThread() override;

  // Runs `action` on the loop thread and returns its result (exceptions are passed on).
  template <typename Action>
  auto Run(Action&& action) -> decltype(action()) {
    std::packaged_task<decltype(action())()> task(std::forward<Action>(action));
    auto result = task.get_future();
    Post([&task] { task(); });
    return result.get();
  }

 protected:
  void OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override;

 private:
  void Post(std::function<void()> closure);

  std::mutex m_mutex;
  std::deque<std::function<void()>> m_queue;
  bool m_bStarted = false;
};

// Replaces the tick count with a counter that only moves when told to, for its lifetime.
class ManualTickCount {
 public:
  explicit ManualTickCount(std::uint32_t start = 1000);
  ~ManualTickCount();
  void Advance(std::uint32_t ms) { m_now += ms; }
  std::uint32_t Now() const { return m_now; }

 private:
  std::atomic<std::uint32_t> m_now;
};

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string File(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// Polls `condition` until it holds; false after the timeout.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// Records the states a job enters, from any thread, and lets a test wait for one.
class StateRecorder {
 public:
  std::function<void(SmtpState, SmtpState)> Observer();
  // Waits until the job is in `state`; false after the timeout.
  bool WaitFor(SmtpState state, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // "Idle -> AwaitGreeting -> ..." from the first state on.
  std::string Trace() const;
  SmtpState Current() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SmtpState> m_states{SmtpState::Idle};
};

}  // namespace mailtest
