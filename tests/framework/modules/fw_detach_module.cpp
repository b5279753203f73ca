// A DLL whose application object stops a worker thread from the module's detach, as the
// add-on stops its delivery worker: post the quit message, wait for the event that the
// worker's destructor sets, then wait for the thread's end. Code of the module still runs on
// the worker after that event (a slow member teardown), so an unload that does not wait for
// it crashes.
#include <utility>

#include "framework/win32/windows_api.h"

#include "framework/app.h"
#include "framework/sync.h"
#include "framework/thread.h"

namespace {

constexpr int kWorkerExitCode = 7;

struct SlowTeardown {  // destroyed after the worker's destructor body signalled the stopper
  ~SlowTeardown() { Sleep(50); }
};

class Worker : public fw::CWinThread {
 public:
  ~Worker() override {
    if (m_pStopped != nullptr) m_pStopped->SetEvent();
  }
  bool InitInstance() override {
    m_threadId = GetCurrentThreadId();
    return true;
  }
  int ExitInstance() override { return kWorkerExitCode; }

  fw::CEvent* m_pStopped = nullptr;
  DWORD m_threadId = 0;

 private:
  SlowTeardown m_teardown;
};

Worker* g_worker = nullptr;

class DetachApp : public fw::CWinApp {
 public:
  int ExitInstance() override {
    Worker* worker = std::exchange(g_worker, nullptr);
    if (worker == nullptr) return 0;
    const fw::ThreadEnd end = worker->GetThreadEnd();
    fw::CEvent stopped;
    worker->m_pStopped = &stopped;
    worker->SetPriorityAboveNormal();
    if (!worker->PostThreadMessage(fw::kWmQuit, 0, 0)) return 0;  // the thread is gone already
    stopped.Lock();
    end.Wait();
    return 0;
  }
};

DetachApp theApp;

}  // namespace

// Starts the worker; its thread id, 0 on failure.
extern "C" __declspec(dllexport) DWORD StartDetachWorker() {
  if (g_worker != nullptr) return 0;
  auto* worker = new Worker;
  if (!worker->CreateThread()) {
    delete worker;
    return 0;
  }
  g_worker = worker;
  return worker->m_threadId;
}
