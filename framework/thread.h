// A worker thread with its own message loop, in the manner of the platform framework's
// user-interface thread: posted thread messages, one-second-class thread timers, and the
// notifications of the windows and sockets created on the thread all arrive through the loop.
//
// Lifecycle: CreateThread starts the thread; on it InitInstance runs, then the loop until
// kWmQuit, then ExitInstance; then, when m_bAutoDelete is set, the object deletes itself and
// the thread ends.
#pragma once

#include <memory>

#include "framework/types.h"

namespace fw {

class ThreadEnd;

class CWinThread {
 public:
  CWinThread();
  CWinThread(const CWinThread&) = delete;
  CWinThread& operator=(const CWinThread&) = delete;
  virtual ~CWinThread();

  // Starts the thread and returns once it runs its message loop (true: InitInstance returned
  // true and the thread takes messages). Returns false when the thread could not be created
  // or InitInstance returned false; the thread has then ended without deleting this object.
  bool CreateThread();

  // On the new thread, before the loop. false ends the thread at once.
  virtual bool InitInstance();
  // On the thread, after kWmQuit ended the loop. Returns the thread's exit code.
  virtual int ExitInstance();
  // A message posted to the thread without a window: thread timer ticks (kWmTimer, wParam =
  // the timer's id) and PostThreadMessage. The base ignores it.
  virtual void OnThreadMessage(UINT message, WPARAM wParam, LPARAM lParam);

  // Posts a message to the thread (any thread may call it). kWmQuit ends the loop. Returns
  // false when the thread does not take messages (not started, or its loop has ended).
  bool PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam);

  // Called on the thread itself: a thread timer that posts kWmTimer every `elapseMs`. A tick
  // that is late does not pile up. Returns the timer's id, 0 on failure.
  static UINT_PTR SetTimer(UINT elapseMs);
  static bool KillTimer(UINT_PTR id);

  // Raises the thread's scheduling priority above normal (best effort).
  void SetPriorityAboveNormal();

  // A reference to the running thread that outlives this object.
  ThreadEnd GetThreadEnd() const;

  bool m_bAutoDelete = true;

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

// Lets a thread wait for another thread's end after the CWinThread object is gone.
class ThreadEnd {
 public:
  ThreadEnd() = default;
  explicit ThreadEnd(std::shared_ptr<void> state) : m_state(std::move(state)) {}
  // Waits until the thread has ended. Returns at once when there is no thread, and where a
  // thread cannot end while the caller waits (Windows, inside the module's detach).
  void Wait() const;

 private:
  std::shared_ptr<void> m_state;
};

}  // namespace fw
