// CWinThread on Win32: a thread made with CreateThread that runs a GetMessage loop. Thread
// messages (no window) go to OnThreadMessage, window messages through DispatchMessage.
//
// The thread's last step is a direct ExitThread after the object is gone, so that a thread
// waiting in ThreadEnd::Wait inside the module's detach (where the loader lock keeps the
// thread from ending) can tell when no code of the module runs on the thread any more.
#include "framework/thread.h"

#include <atomic>

#include "framework/app.h"
#include "framework/win32/async_internal.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

// How long ThreadEnd::Wait, inside the module's detach, waits for the thread to reach its
// ExitThread. Only a thread stuck in the object's destruction takes that long.
constexpr ::DWORD kLeavingTimeoutMs = 5000;

constexpr unsigned kOwnersGone = 1;     // the object and every ThreadEnd have let go
constexpr unsigned kThreadLeaving = 2;  // the thread is about to call ExitThread

// What outlives the thread object: the thread's handle and the news that the thread is
// leaving. The owners (the object and the ThreadEnd copies, through a shared_ptr) and the
// thread itself each hold a share; whichever lets go second frees the state. It exists from
// the object's construction, so that a ThreadEnd taken before CreateThread waits for the
// thread started later; until a thread runs, the thread's share counts as given back.
struct EndState {
  std::atomic<HANDLE> thread{nullptr};
  std::atomic<::DWORD> threadId{0};
  std::atomic<unsigned> flags{kThreadLeaving};

  EndState() = default;
  EndState(const EndState&) = delete;
  EndState& operator=(const EndState&) = delete;
  ~EndState() {
    if (HANDLE handle = thread.load()) ::CloseHandle(handle);
  }
};

void ReleaseOwnersShare(EndState* state) {
  if (state->flags.fetch_or(kOwnersGone) & kThreadLeaving) delete state;
}

// The thread's last step: hands its share back and ends without returning into the module.
[[noreturn]] void LeaveThread(EndState* state, ::DWORD exitCode) {
  if (state->flags.fetch_or(kThreadLeaving) & kOwnersGone) delete state;
  ::ExitThread(exitCode);
}

void WaitUntilLeaving(const EndState& state) {
  const ULONGLONG deadline = ::GetTickCount64() + kLeavingTimeoutMs;
  while (!(state.flags.load() & kThreadLeaving)) {
    if (::WaitForSingleObject(state.thread.load(), 0) == WAIT_OBJECT_0 || ::GetTickCount64() >= deadline) return;
    ::Sleep(1);
  }
  // The few instructions between the flag and ExitThread.
  ::Sleep(1);
}

}  // namespace

struct CWinThread::Impl {
  std::shared_ptr<EndState> end{new EndState, ReleaseOwnersShare};
  bool started = false;
  HANDLE ready = nullptr;  // set by the thread once InitInstance has returned
  std::atomic<bool> initSucceeded{false};
  std::atomic<bool> takesMessages{false};
  WPARAM quitCode = 0;

  static ::DWORD WINAPI Run(LPVOID param);
};

::DWORD WINAPI CWinThread::Impl::Run(LPVOID param) {
  auto* self = static_cast<CWinThread*>(param);
  Impl& impl = *self->m_impl;
  EndState* end = impl.end.get();

  MSG msg;
  ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the message queue

  bool initialised = false;
  try {
    initialised = self->InitInstance();
  } catch (...) {
  }
  if (!initialised) {
    win32::CloseThreadSocketWindow();
    ::SetEvent(impl.ready);  // the creator may delete the object from here on
    LeaveThread(end, 1);
  }
  impl.takesMessages = true;
  impl.initSucceeded = true;
  ::SetEvent(impl.ready);

  for (;;) {
    const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (msg.hwnd != nullptr) {
      ::DispatchMessageA(&msg);
      continue;
    }
    try {
      self->OnThreadMessage(msg.message, msg.wParam, msg.lParam);
    } catch (...) {
      // A handler's exception must not end the host process: the message is dropped.
    }
  }
  impl.takesMessages = false;
  impl.quitCode = msg.message == WM_QUIT ? msg.wParam : 0;

  int exitCode = 0;
  try {
    exitCode = self->ExitInstance();
  } catch (...) {
  }
  win32::CloseThreadSocketWindow();
  if (self->m_bAutoDelete) delete self;
  LeaveThread(end, static_cast<::DWORD>(exitCode));
}

CWinThread::CWinThread() : m_impl(std::make_unique<Impl>()) {}

CWinThread::~CWinThread() = default;

bool CWinThread::CreateThread() {
  if (m_impl->started) return false;  // a thread object runs one thread
  m_impl->started = true;
  EndState& state = *m_impl->end;

  HANDLE ready = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ::DWORD threadId = 0;
  HANDLE thread =
      ready != nullptr ? ::CreateThread(nullptr, 0, &Impl::Run, this, CREATE_SUSPENDED, &threadId) : nullptr;
  if (thread == nullptr) {
    if (ready != nullptr) ::CloseHandle(ready);
    return false;
  }
  state.threadId = threadId;
  state.thread = thread;
  state.flags &= ~kThreadLeaving;  // the thread's share, until its LeaveThread
  m_impl->ready = ready;
  ::ResumeThread(thread);

  const HANDLE waitFor[] = {ready, thread};
  ::WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
  ::CloseHandle(ready);
  m_impl->ready = nullptr;
  if (m_impl->initSucceeded) return true;
  if (!InModuleDetach() && !ProcessTerminating()) ::WaitForSingleObject(thread, INFINITE);
  return false;
}

bool CWinThread::InitInstance() {
  return true;
}

int CWinThread::ExitInstance() {
  return static_cast<int>(m_impl->quitCode);
}

void CWinThread::OnThreadMessage(UINT, WPARAM, LPARAM) {}

bool CWinThread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!m_impl->takesMessages) return false;
  return ::PostThreadMessageA(m_impl->end->threadId, message, wParam, lParam) != FALSE;
}

UINT_PTR CWinThread::SetTimer(UINT elapseMs) {
  return ::SetTimer(nullptr, 0, elapseMs, nullptr);
}

bool CWinThread::KillTimer(UINT_PTR id) {
  return ::KillTimer(nullptr, id) != FALSE;
}

void CWinThread::SetPriorityAboveNormal() {
  if (HANDLE thread = m_impl->end->thread.load()) ::SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);
}

ThreadEnd CWinThread::GetThreadEnd() const {
  return ThreadEnd(m_impl->end);
}

void ThreadEnd::Wait() const {
  const auto* state = static_cast<const EndState*>(m_state.get());
  if (state == nullptr || state->thread.load() == nullptr) return;
  if (state->threadId == ::GetCurrentThreadId() || ProcessTerminating()) return;
  if (InModuleDetach()) {
    // The loader lock keeps the thread from ending until the detach is over; what can be
    // waited for is the thread leaving the module's code.
    WaitUntilLeaving(*state);
    return;
  }
  ::WaitForSingleObject(state->thread.load(), INFINITE);
}

}  // namespace fw
