// Helpers shared by the test suites: scratch directories and byte-exact files, environment
// variables, an isolated registry, injected clocks, an event log to wait on, and a worker
// thread that runs test code on its message loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "framework/registry.h"
#include "framework/thread.h"

namespace qbtest {

inline constexpr std::chrono::seconds kPatience{10};

// A fresh directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (m_path / name).string(); }
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

std::string ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::vector<std::string> ListDirectory(const std::string& dir);
// The directory of the running executable, with a trailing separator.
std::string ExecutableDir();

// Process environment (the one the system's loader and a module's own calls also see).
std::optional<std::string> GetEnv(const char* name);
void SetEnv(const char* name, const char* value);  // null removes the variable

// Sets variables for a scope and restores them afterwards.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const char* name, const char* value) { Set(name, value); }
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  void Set(const char* name, const char* value);

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// Where the registry is a database file, a file of the scope's own; under Windows the
// system's registry, shared with other tests.
class ScopedRegistry {
 public:
  ScopedRegistry();
  ScopedRegistry(const ScopedRegistry&) = delete;
  ScopedRegistry& operator=(const ScopedRegistry&) = delete;

 private:
  TempDir m_dir;
  ScopedEnv m_env;
};

// Deletes `path` below `root` with everything below it.
void DeleteKeyTree(fw::HKEY root, const std::string& path);

// Replaces the tick count and the calendar clock for its lifetime; both move only when told.
class ScopedClock {
 public:
  explicit ScopedClock(std::uint32_t tick = 1000, std::int64_t time = 1700000000);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

  std::atomic<std::uint32_t> tick;
  std::atomic<std::int64_t> time;
};

// Polls `condition` until it holds; false after kPatience.
bool Eventually(const std::function<bool()>& condition);

// Runs `action` under a watchdog: when it has not returned after kPatience, the test fails
// and the process ends (a thread stuck in a wait cannot be recovered).
void WithinPatience(const char* what, const std::function<void()>& action);

// Events recorded by handlers on any thread, in order.
class EventLog {
 public:
  void Add(std::string event);
  std::vector<std::string> Events() const;
  std::size_t Count(const std::string& event) const;
  void Clear();
  // The events joined by `separator`.
  std::string Joined(const char* separator) const;
  // Waits (at most kPatience) until `event` was recorded `times` times, or `done` holds.
  bool WaitFor(const std::string& event, std::size_t times = 1) const;
  bool WaitUntil(const std::function<bool(const std::vector<std::string>&)>& done) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_events;
};

// A running worker thread whose loop executes test code; its end is waited for on destruction.
class LoopThread : public fw::CWinThread {
 public:
  LoopThread();
  ~LoopThread() override;

  // Runs `action` on the loop and returns its result (an exception is passed on).
  template <typename Action>
  auto Run(Action&& action) -> decltype(action()) {
    std::packaged_task<decltype(action())()> task(std::forward<Action>(action));
    auto result = task.get_future();
    if (!Post([&task] { task(); })) throw std::runtime_error("the loop thread takes no messages");
    return result.get();
  }
  // Two round trips: whatever was due on the loop before has been handled.
  void Settle() {
    Run([] {});
    Run([] {});
  }

  void OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override;
  // Messages other than the test code's (timer ticks), on the loop thread.
  std::function<void(fw::UINT, fw::WPARAM, fw::LPARAM)> onOtherMessage;

 private:
  bool Post(std::function<void()> task);
  bool m_bRunning = false;
};

}  // namespace qbtest
