// CWinThread on Win32: a thread made with CreateThread that runs a GetMessage loop. Thread
// messages (no window) go to OnThreadMessage, window messages through DispatchMessage.
//
// The creator takes a reference to the module that holds this code before the thread starts;
// the thread's last step is FreeLibraryAndExitThread with it, which returns into no code of
// the module. So the module stays mapped while the thread runs, and when the thread's release
// is the module's last reference, the module's detach runs on the thread from inside that
// call and nothing of the module runs after it.
#include <atomic>

#include "framework/app.h"
#include "framework/owner_thread.h"
#include "framework/thread.h"
#include "framework/win32/async_internal.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

// The thread's handle, kept for ThreadEnd::Wait after the object is gone; closed when the
// object and every ThreadEnd have let go.
struct EndState {
  HANDLE thread = nullptr;
  ::DWORD threadId = 0;

  EndState() = default;
  EndState(const EndState&) = delete;
  EndState& operator=(const EndState&) = delete;
  ~EndState() {
    if (thread != nullptr) ::CloseHandle(thread);
  }
};

// A reference to the module that contains this function, or null.
HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&ReferenceOwnModule)), &module)) {
    return nullptr;
  }
  return module;
}

// The thread's last step: gives the module reference back and ends the thread without
// returning into the module (its detach may run inside this call and unmap it).
[[noreturn]] void LeaveThread(HMODULE module, ::DWORD exitCode) {
  if (module != nullptr) ::FreeLibraryAndExitThread(module, exitCode);
  ::ExitThread(exitCode);
}

}  // namespace

struct CWinThread::Impl {
  std::shared_ptr<EndState> end = std::make_shared<EndState>();
  bool started = false;
  HMODULE module = nullptr;  // the thread's reference to the module, handed over at its start
  HANDLE ready = nullptr;    // set by the thread once InitInstance has returned
  std::atomic<bool> initSucceeded{false};
  std::atomic<bool> takesMessages{false};
  WPARAM quitCode = 0;

  static ::DWORD WINAPI Run(LPVOID param);
};

::DWORD WINAPI CWinThread::Impl::Run(LPVOID param) {
  auto* self = static_cast<CWinThread*>(param);
  Impl& impl = *self->m_impl;
  const HMODULE module = impl.module;

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
    LeaveThread(module, 1);
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
  LeaveThread(module, static_cast<::DWORD>(exitCode));
}

CWinThread::CWinThread() : m_impl(std::make_unique<Impl>()) {}

CWinThread::~CWinThread() = default;

bool CWinThread::CreateThread() {
  if (m_impl->started) return false;  // a thread object runs one thread
  m_impl->started = true;
  EndState& state = *m_impl->end;

  HANDLE ready = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_impl->module = ReferenceOwnModule();
  ::DWORD threadId = 0;
  HANDLE thread = ready != nullptr && m_impl->module != nullptr
                      ? ::CreateThread(nullptr, 0, &Impl::Run, this, CREATE_SUSPENDED, &threadId)
                      : nullptr;
  if (thread == nullptr) {
    if (ready != nullptr) ::CloseHandle(ready);
    if (m_impl->module != nullptr) ::FreeLibrary(m_impl->module);  // the caller holds the module too
    m_impl->module = nullptr;
    return false;
  }
  state.threadId = threadId;
  state.thread = thread;
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
  const UINT_PTR id = ::SetTimer(nullptr, 0, elapseMs, nullptr);
  if (id != 0) debug::Claim(debug::Owned::kTimer, id);
  return id;
}

bool CWinThread::KillTimer(UINT_PTR id) {
  FW_ASSERT_OWNER_THREAD(debug::MayUse(debug::Owned::kTimer, id));
  debug::Forget(debug::Owned::kTimer, id);
  return ::KillTimer(nullptr, id) != FALSE;
}

void CWinThread::SetPriorityAboveNormal() {
  if (HANDLE thread = m_impl->end->thread) ::SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);
}

ThreadEnd CWinThread::GetThreadEnd() const {
  return ThreadEnd(m_impl->end);
}

void ThreadEnd::Wait() const {
  const auto* state = static_cast<const EndState*>(m_state.get());
  if (state == nullptr || state->thread == nullptr) return;
  // Inside the module's detach every thread of the module has passed its last step (each
  // holds the module until then), and the loader lock would keep the wait from ever ending.
  if (state->threadId == ::GetCurrentThreadId() || ProcessTerminating() || InModuleDetach()) return;
  ::WaitForSingleObject(state->thread, INFINITE);
}

}  // namespace fw
