// Synchronisation in the manner of the platform framework: a re-entrant critical section, a
// lock that holds it for a scope, and a manual- or auto-reset event.
#pragma once

#include <condition_variable>
#include <mutex>

namespace fw {

class CCriticalSection {
 public:
  void Lock() { m_mutex.lock(); }
  void Unlock() { m_mutex.unlock(); }

 private:
  friend class CSingleLock;
  std::recursive_mutex m_mutex;
};

class CSingleLock {
 public:
  explicit CSingleLock(CCriticalSection& section, bool lockNow = true) : m_lock(section.m_mutex, std::defer_lock) {
    if (lockNow) m_lock.lock();
  }
  void Lock() { m_lock.lock(); }
  void Unlock() { m_lock.unlock(); }
  bool IsLocked() const { return m_lock.owns_lock(); }

 private:
  std::unique_lock<std::recursive_mutex> m_lock;
};

class CEvent {
 public:
  explicit CEvent(bool initiallySignalled = false, bool manualReset = true)
      : m_bSignalled(initiallySignalled), m_bManualReset(manualReset) {}

  // Notifies while holding the lock, so that a waiter may destroy the event as soon as its
  // Lock() returns.
  void SetEvent() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSignalled = true;
    m_cv.notify_all();
  }
  void ResetEvent() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSignalled = false;
  }
  // Waits without time limit until the event is signalled.
  void Lock() {
    std::unique_lock<std::mutex> guard(m_mutex);
    m_cv.wait(guard, [this] { return m_bSignalled; });
    if (!m_bManualReset) m_bSignalled = false;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bSignalled;
  bool m_bManualReset;
};

}  // namespace fw
