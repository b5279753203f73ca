// A worker thread with its own message loop, in the manner of the platform framework's
// user-interface thread: posted thread messages, one-second-class thread timers, and the
// notifications of the windows and sockets created on the thread all arrive through the loop.
//
// Lifecycle: CreateThread starts the thread; on it InitInstance runs, then the loop until
// kWmQuit, then ExitInstance; then, when m_bAutoDelete is set, the object deletes itself and
// the thread ends.
//
// Module lifetime: on Windows a running thread keeps the module that holds its code loaded. The
// creator takes a reference to the module before the thread starts, and the thread's last
// step releases it and ends the thread in one system call (FreeLibraryAndExitThread), so the
// module cannot be unmapped under its own thread; a host's FreeLibrary while one runs only
// drops the host's reference, and the module's detach runs when the last thread has ended
// (then on that thread). The module's detach therefore never finds a thread of its own
// running, except at process exit, when the system has ended them all. Elsewhere a module
// cannot be held that way: its unload must stop and wait for its threads (ThreadEnd::Wait),
// which nothing on a thread's way out may hold up.
//
// Threads by ownership: the timers of SetTimer belong to the thread that set them; only that
// thread kills them (debug builds assert it). Windows and sockets follow the same rule.
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
  // that is late does not pile up. Returns the timer's id (unique in the process while the
  // timer lives), 0 on failure. KillTimer only on the thread that set the timer.
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

// Lets a thread wait for another thread's end, also after the CWinThread object is gone.
class ThreadEnd {
 public:
  ThreadEnd() = default;
  explicit ThreadEnd(std::shared_ptr<void> state) : m_state(std::move(state)) {}
  // Waits until the thread has ended: after that no code runs on it and its object is no
  // longer touched by it. Returns at once when there is no thread, on the thread itself, when
  // the process is ending (the system has ended the thread at an arbitrary point), and on
  // Windows inside the module's detach, where every thread of the module has taken its last
  // step already (see Module lifetime above) and a wait could only deadlock.
  void Wait() const;

 private:
  std::shared_ptr<void> m_state;
};

}  // namespace fw
