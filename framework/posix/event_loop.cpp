// The per-thread message loop of the posix backend (see event_loop.h).
#include "framework/posix/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "framework/owner_thread.h"
#include "framework/posix/resolver.h"

namespace fw::posix {
namespace {

thread_local EventLoop* t_loop = nullptr;

// Owns a loop made on first use by a thread that runs no CWinThread; ends it with the thread.
struct LazyLoop {
  std::shared_ptr<EventLoop> loop;
  ~LazyLoop() {
    if (loop) loop->Shutdown();
  }
};
thread_local LazyLoop t_lazyLoop;

void SetNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Windows raises shorter timer intervals to this minimum.
constexpr UINT kMinTimerMs = 10;

std::atomic<UINT_PTR> g_lastTimerId{0};

}  // namespace

EventLoop::EventLoop() {
  int fds[2];
  if (pipe(fds) == 0) {
    SetNonBlocking(fds[0]);
    SetNonBlocking(fds[1]);
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
  }
}

EventLoop::~EventLoop() {
  m_resolver.reset();
  if (m_wakeRead >= 0) close(m_wakeRead);
  if (m_wakeWrite >= 0) close(m_wakeWrite);
}

EventLoop& EventLoop::Current() {
  if (t_loop == nullptr) {
    t_lazyLoop.loop = std::make_shared<EventLoop>();
    t_lazyLoop.loop->AttachToCurrentThread();
  }
  return *t_loop;
}

std::shared_ptr<EventLoop> EventLoop::CurrentShared() {
  return Current().shared_from_this();
}

void EventLoop::AttachToCurrentThread() {
  m_owner.store(std::this_thread::get_id());
  t_loop = this;
}

bool EventLoop::Post(const PostedMessage& message) {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  if (!m_bPosting) return false;
  m_queue.push_back(message);
  if (!m_bWakePending && m_wakeWrite >= 0) {
    m_bWakePending = true;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(m_wakeWrite, &byte, 1);
  }
  return true;
}

void EventLoop::StopPosting() {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_bPosting = false;
  m_queue.clear();
}

void EventLoop::Run(const ThreadMessageHandler& onThreadMessage) {
  for (;;) {
    bool messagesWaiting;
    {
      std::lock_guard<std::mutex> lock(m_queueMutex);
      messagesWaiting = !m_queue.empty();
    }
    PollAndDeliverSockets(messagesWaiting);
    RunDueTimers(onThreadMessage);
    if (!DispatchQueued(onThreadMessage)) return;
  }
}

void EventLoop::Shutdown() {
  StopPosting();
  ForgetWindows(*this);
  m_watchers.clear();
  for (const Timer& timer : m_timers) debug::Forget(debug::Owned::kTimer, timer.id);
  m_timers.clear();
  m_resolver.reset();  // cancels the lookups under way at once
  if (t_loop == this) t_loop = nullptr;
  m_owner.store(std::thread::id());
}

Resolver* EventLoop::GetResolver() {
  FW_ASSERT_OWNER_THREAD(IsOwnerThread());
  if (!m_resolver) m_resolver = Resolver::Create();
  return m_resolver.get();
}

int EventLoop::PollTimeoutMs(bool immediate) const {
  if (immediate) return 0;
  if (m_timers.empty()) return -1;
  const Clock::time_point now = Clock::now();
  Clock::time_point next = m_timers.front().due;
  for (const Timer& timer : m_timers) next = std::min(next, timer.due);
  if (next <= now) return 0;
  // Round up so that the wait never ends just before the timer is due.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

void EventLoop::PollAndDeliverSockets(bool messagesWaiting) {
  std::vector<pollfd> fds;
  std::vector<std::uint64_t> ids;
  std::vector<bool> immediate;
  fds.push_back({m_wakeRead, POLLIN, 0});
  bool anyImmediate = false;
  for (const auto& [id, watcher] : m_watchers) {
    const short events = watcher->PollEvents();
    const bool now = watcher->HasImmediateEvent();
    if (events == 0 && !now) continue;
    fds.push_back({events != 0 ? watcher->Descriptor() : -1, events, 0});
    ids.push_back(id);
    immediate.push_back(now);
    anyImmediate = anyImmediate || now;
  }
  const std::size_t resolverAt = fds.size();
  const std::size_t resolverFds = m_resolver ? m_resolver->AppendPollFds(fds) : 0;

  int timeout = PollTimeoutMs(messagesWaiting || anyImmediate);
  if (m_resolver) timeout = m_resolver->TimeoutMs(timeout);
  // Without a wake-up pipe (descriptors exhausted) posted messages are noticed by polling.
  if (m_wakeRead < 0 && (timeout < 0 || timeout > 10)) timeout = 10;
  if (poll(fds.data(), fds.size(), timeout) < 0) return;  // EINTR: the next round polls again
  if (fds[0].revents != 0) DrainWakePipe();

  for (std::size_t i = 0; i < ids.size(); ++i) {
    const short revents = fds[i + 1].revents;
    if (revents == 0 && !immediate[i]) continue;
    // A socket closed by an earlier notification of this round is gone from the map. Only
    // this thread closes sockets, so one found here lives until its notification is over.
    auto it = m_watchers.find(ids[i]);
    if (it == m_watchers.end()) continue;
    try {
      it->second->OnReady(revents);
    } catch (...) {
      // A handler's exception must not end the thread.
    }
  }
  // The host lookups' answers and time-outs.
  if (m_resolver) {
    try {
      m_resolver->Process(fds.data() + resolverAt, resolverFds);
    } catch (...) {
    }
  }
}

void EventLoop::RunDueTimers(const ThreadMessageHandler& onThreadMessage) {
  std::vector<UINT_PTR> due;
  Clock::time_point now = Clock::now();
  for (const Timer& timer : m_timers) {
    if (timer.due <= now) due.push_back(timer.id);
  }
  for (UINT_PTR id : due) {
    auto it = std::find_if(m_timers.begin(), m_timers.end(), [id](const Timer& t) { return t.id == id; });
    if (it == m_timers.end()) continue;  // killed by an earlier tick of this round
    now = Clock::now();
    // A late tick is one tick: the next one is a whole interval away.
    it->due += it->interval;
    if (it->due <= now) it->due = now + it->interval;
    try {
      onThreadMessage(kWmTimer, id, 0);
    } catch (...) {
    }
  }
}

bool EventLoop::DispatchQueued(const ThreadMessageHandler& onThreadMessage) {
  std::size_t count;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    count = m_queue.size();
  }
  for (std::size_t i = 0; i < count; ++i) {
    PostedMessage message;
    {
      std::lock_guard<std::mutex> lock(m_queueMutex);
      if (m_queue.empty()) return true;
      message = m_queue.front();
      m_queue.pop_front();
    }
    if (message.message == kWmQuit) return false;
    try {
      if (message.window == nullptr) {
        onThreadMessage(message.message, message.wParam, message.lParam);
      } else {
        DispatchWindowMessage(*this, message);
      }
    } catch (...) {
    }
  }
  return true;
}

void EventLoop::DrainWakePipe() {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  char buffer[64];
  while (read(m_wakeRead, buffer, sizeof buffer) > 0) {
  }
  m_bWakePending = false;
}

UINT_PTR EventLoop::AddTimer(UINT elapseMs) {
  FW_ASSERT_OWNER_THREAD(IsOwnerThread());
  const auto interval = std::chrono::milliseconds(std::max(elapseMs, kMinTimerMs));
  const UINT_PTR id = ++g_lastTimerId;
  m_timers.push_back({id, interval, Clock::now() + interval});
  return id;
}

bool EventLoop::RemoveTimer(UINT_PTR id) {
  FW_ASSERT_OWNER_THREAD(IsOwnerThread());
  auto it = std::find_if(m_timers.begin(), m_timers.end(), [id](const Timer& t) { return t.id == id; });
  if (it == m_timers.end()) return false;
  m_timers.erase(it);
  return true;
}

std::uint64_t EventLoop::Watch(SocketWatcher* watcher) {
  FW_ASSERT_OWNER_THREAD(MayUse());
  const std::uint64_t id = m_nextWatchId++;
  m_watchers.emplace(id, watcher);
  return id;
}

void EventLoop::Unwatch(std::uint64_t id) {
  FW_ASSERT_OWNER_THREAD(MayUse());
  m_watchers.erase(id);
}

}  // namespace fw::posix
