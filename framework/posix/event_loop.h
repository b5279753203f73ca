// The per-thread message loop of the posix backend: posted thread and window messages in a
// locked queue with a wake-up pipe, thread timers on the monotonic clock, socket readiness and
// the host-name resolver's traffic through poll(2). Everything is dispatched one at a time on
// the loop's own thread.
//
// Threads by ownership: another thread may only post to a loop (or stop its posts). Timers,
// watched sockets and the resolver belong to the loop's thread, which alone adds and removes
// them (debug builds assert it), so a watcher found in the loop's table is never closed by
// another thread before its notification is delivered.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/types.h"
#include "framework/wnd.h"

namespace fw::posix {

class Resolver;

struct PostedMessage {
  HWND window = nullptr;  // null: a thread message
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// A socket registered with a loop. The loop asks for the poll events before each wait and
// hands over the result; the socket turns it into at most one notification, delivered as the
// last thing it does (the notification may close or delete the socket).
class SocketWatcher {
 public:
  virtual int Descriptor() const = 0;
  virtual short PollEvents() const = 0;
  // True when a notification is due without waiting for the descriptor.
  virtual bool HasImmediateEvent() const = 0;
  virtual void OnReady(short revents) = 0;

 protected:
  ~SocketWatcher() = default;
};

class EventLoop : public std::enable_shared_from_this<EventLoop> {
 public:
  using ThreadMessageHandler = std::function<void(UINT, WPARAM, LPARAM)>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // The calling thread's loop; a thread without one gets one on first use.
  static EventLoop& Current();
  static std::shared_ptr<EventLoop> CurrentShared();
  // Makes this the calling thread's loop.
  void AttachToCurrentThread();
  bool IsOwnerThread() const { return m_owner.load() == std::this_thread::get_id(); }
  // True on the owner thread, and on any thread once the loop has shut down.
  bool MayUse() const {
    const std::thread::id owner = m_owner.load();
    return owner == std::thread::id() || owner == std::this_thread::get_id();
  }

  // Any thread. False once the loop no longer takes messages.
  bool Post(const PostedMessage& message);

  // Owner thread: dispatches until kWmQuit is taken off the queue.
  void Run(const ThreadMessageHandler& onThreadMessage);
  // Any thread: refuse further posts and drop what is queued.
  void StopPosting();
  // Owner thread, at its end: stops posting, forgets windows, sockets and timers, and cancels
  // the host lookups under way. Waits for nothing.
  void Shutdown();

  // Owner thread. Timer ids are unique in the process.
  UINT_PTR AddTimer(UINT elapseMs);
  bool RemoveTimer(UINT_PTR id);

  // Owner thread: registration of sockets.
  std::uint64_t Watch(SocketWatcher* watcher);
  void Unwatch(std::uint64_t id);

  // Owner thread: the loop's resolver, made on first use; null when it cannot be made.
  // FindResolver does not make one.
  Resolver* GetResolver();
  Resolver* FindResolver() const { return m_resolver.get(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    UINT_PTR id;
    Clock::duration interval;
    Clock::time_point due;
  };

  int PollTimeoutMs(bool immediate) const;
  void PollAndDeliverSockets(bool messagesWaiting);
  void RunDueTimers(const ThreadMessageHandler& onThreadMessage);
  // Dispatches the messages queued now; false when kWmQuit was taken.
  bool DispatchQueued(const ThreadMessageHandler& onThreadMessage);
  void DrainWakePipe();

  std::atomic<std::thread::id> m_owner;
  int m_wakeRead = -1;
  int m_wakeWrite = -1;

  std::mutex m_queueMutex;
  std::deque<PostedMessage> m_queue;
  bool m_bPosting = true;
  bool m_bWakePending = false;

  std::vector<Timer> m_timers;

  std::map<std::uint64_t, SocketWatcher*> m_watchers;
  std::uint64_t m_nextWatchId = 1;

  std::unique_ptr<Resolver> m_resolver;
};

// Implemented by the window layer: dispatches a posted window message on `loop`'s thread
// (dropped when the window is gone), and forgets every window of a loop that ends.
void DispatchWindowMessage(EventLoop& loop, const PostedMessage& message);
void ForgetWindows(EventLoop& loop);

}  // namespace fw::posix
