// Helpers of the thread, window and socket tests: a recorded event list to wait on, and a
// worker thread that runs test code on its message loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/thread.h"

namespace qbtest {

inline constexpr std::chrono::seconds kPatience{10};

// Events recorded by handlers on any thread, in order.
class EventLog {
 public:
  void Add(std::string event);
  std::vector<std::string> Events() const;
  void Clear();
  std::size_t Count(const std::string& event) const;
  // Waits (at most kPatience) until `event` has been recorded `times` times.
  bool WaitFor(const std::string& event, std::size_t times = 1) const;
  bool WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_events;
};

// A running CWinThread whose loop executes test code. Not auto-deleted: the destructor posts
// kWmQuit and waits for the thread's end.
class LoopThread : public fw::CWinThread {
 public:
  LoopThread();
  ~LoopThread() override;
  bool Start();
  // Runs `task` on the thread and waits for it. Also proves that the loop went round once.
  bool Call(const std::function<void()>& task);
  // Queues `task` without waiting.
  bool Post(std::function<void()> task);
  void Stop();

  void OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override;
  std::function<void(fw::UINT, fw::WPARAM, fw::LPARAM)> onOtherMessage;

 private:
  bool m_bStopped = false;
};

}  // namespace qbtest
