// A DLL with one worker thread of the framework, for the tests of a module's lifetime: the
// worker ends by itself after the time it was started with, or when stopped through an export
// (as the add-on's QBAddOnCanUnload stops its idle worker). The application object records on
// which thread the module's detach ran, in the environment variable QB_DETACH_TRACE.
#include <string>

#include "framework/win32/windows_api.h"

#include "framework/app.h"
#include "framework/thread.h"

namespace {

constexpr int kWorkerExitCode = 7;

class Worker : public fw::CWinThread {
 public:
  explicit Worker(DWORD lifetimeMs) : m_lifetimeMs(lifetimeMs) {}
  bool InitInstance() override {
    m_threadId = GetCurrentThreadId();
    return SetTimer(m_lifetimeMs) != 0;
  }
  void OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM) override {
    if (message != fw::kWmTimer) return;
    KillTimer(wParam);
    PostThreadMessage(fw::kWmQuit, 0, 0);
  }
  int ExitInstance() override { return kWorkerExitCode; }

  DWORD m_threadId = 0;

 private:
  DWORD m_lifetimeMs;
};

fw::ThreadEnd g_end;
Worker* g_worker = nullptr;  // deletes itself when its thread ends

class DetachApp : public fw::CWinApp {
 public:
  int ExitInstance() override {
    const std::string trace = "detach on " + std::to_string(GetCurrentThreadId()) + ";";
    SetEnvironmentVariableA("QB_DETACH_TRACE", trace.c_str());
    return 0;
  }
};

DetachApp theApp;

}  // namespace

// Starts the worker; its thread id, 0 on failure.
extern "C" __declspec(dllexport) DWORD StartDetachWorker(DWORD lifetimeMs) {
  auto* worker = new Worker(lifetimeMs);
  g_end = worker->GetThreadEnd();
  if (!worker->CreateThread()) {
    delete worker;
    return 0;
  }
  g_worker = worker;
  return worker->m_threadId;
}

// Stops a worker that has not ended yet and returns once its thread has ended.
extern "C" __declspec(dllexport) void StopDetachWorker() {
  if (g_worker != nullptr) g_worker->PostThreadMessage(fw::kWmQuit, 0, 0);
  g_worker = nullptr;
  g_end.Wait();
}
