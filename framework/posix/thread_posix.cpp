// CWinThread and ThreadEnd of the posix backend: a std::thread that runs InitInstance, the
// thread's event loop until kWmQuit, ExitInstance and the object's self-deletion. A module
// cannot be held by its own thread here: its unload (static destructors inside dlclose, with
// the dynamic loader's lock held) stops the thread and joins it, so nothing on the thread's
// way out may need that lock (no dlopen, no host lookup through the C library's resolver,
// no first use of a thread_local object with a destructor).
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/owner_thread.h"
#include "framework/posix/event_loop.h"
#include "framework/thread.h"

namespace fw {
namespace {

// What outlives the CWinThread object: the running thread, its loop and how to join it.
struct ThreadState {
  std::mutex mutex;
  std::condition_variable changed;
  std::shared_ptr<posix::EventLoop> loop;  // set while the thread takes messages
  std::thread thread;
  std::thread::id threadId;
  long systemId = 0;
  bool started = false;
  bool initDone = false;
  bool initOk = false;
  bool joining = false;
  bool joined = false;

  ~ThreadState() {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // the thread itself drops the last reference on its way out
    } else {
      thread.join();
    }
  }

  void Join() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!started || threadId == std::this_thread::get_id()) return;
    if (joining) {
      changed.wait(lock, [this] { return joined; });
      return;
    }
    if (!thread.joinable()) return;
    joining = true;
    std::thread running = std::move(thread);
    lock.unlock();
    running.join();
    lock.lock();
    joined = true;
    changed.notify_all();
  }
};

void ReportInit(ThreadState& state, bool ok) {
  std::lock_guard<std::mutex> lock(state.mutex);
  state.initDone = true;
  state.initOk = ok;
  if (!ok) state.loop.reset();
  state.changed.notify_all();
}

}  // namespace

struct CWinThread::Impl {
  std::shared_ptr<ThreadState> state = std::make_shared<ThreadState>();

  static void Main(CWinThread* self, const std::shared_ptr<ThreadState>& state,
                   const std::shared_ptr<posix::EventLoop>& loop) {
    loop->AttachToCurrentThread();
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->systemId = static_cast<long>(syscall(SYS_gettid));
    }
    bool ok = false;
    try {
      ok = self->InitInstance();
    } catch (...) {
      ok = false;
    }
    if (!ok) {
      // The object stays to its creator, who learns of the failure once nothing runs here.
      loop->Shutdown();
      ReportInit(*state, false);
      return;
    }
    ReportInit(*state, true);

    loop->Run([self](UINT message, WPARAM wParam, LPARAM lParam) { self->OnThreadMessage(message, wParam, lParam); });
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->loop.reset();
    }
    loop->StopPosting();
    try {
      self->ExitInstance();
      if (self->m_bAutoDelete) delete self;
    } catch (...) {
    }
    loop->Shutdown();
  }
};

CWinThread::CWinThread() : m_impl(std::make_unique<Impl>()) {}

CWinThread::~CWinThread() = default;

bool CWinThread::CreateThread() {
  std::shared_ptr<ThreadState> state = m_impl->state;
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->started) return false;
    auto loop = std::make_shared<posix::EventLoop>();
    try {
      state->thread = std::thread(&Impl::Main, this, state, loop);
    } catch (...) {
      return false;
    }
    state->started = true;
    state->threadId = state->thread.get_id();
    state->loop = std::move(loop);
    state->changed.wait(lock, [&state] { return state->initDone; });
    if (state->initOk) return true;
  }
  state->Join();
  return false;
}

bool CWinThread::InitInstance() {
  return true;
}

int CWinThread::ExitInstance() {
  return 0;
}

void CWinThread::OnThreadMessage(UINT, WPARAM, LPARAM) {}

bool CWinThread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<posix::EventLoop> loop;
  {
    std::lock_guard<std::mutex> lock(m_impl->state->mutex);
    loop = m_impl->state->loop;
  }
  return loop != nullptr && loop->Post({nullptr, message, wParam, lParam});
}

UINT_PTR CWinThread::SetTimer(UINT elapseMs) {
  const UINT_PTR id = posix::EventLoop::Current().AddTimer(elapseMs);
  debug::Claim(debug::Owned::kTimer, id);
  return id;
}

bool CWinThread::KillTimer(UINT_PTR id) {
  FW_ASSERT_OWNER_THREAD(debug::MayUse(debug::Owned::kTimer, id));
  debug::Forget(debug::Owned::kTimer, id);
  return posix::EventLoop::Current().RemoveTimer(id);
}

void CWinThread::SetPriorityAboveNormal() {
  long systemId;
  {
    std::lock_guard<std::mutex> lock(m_impl->state->mutex);
    systemId = m_impl->state->loop != nullptr ? m_impl->state->systemId : 0;
  }
  if (systemId == 0) return;
  // A lower nice value needs privileges; without them the thread keeps its priority.
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(systemId));
  if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(systemId), nice - 1);
}

ThreadEnd CWinThread::GetThreadEnd() const {
  return ThreadEnd(m_impl->state);
}

void ThreadEnd::Wait() const {
  if (m_state) std::static_pointer_cast<ThreadState>(m_state)->Join();
}

}  // namespace fw
