// Windows only: a notification queued for a closed socket never reaches a successor that got
// its handle; the dialog template made into a hidden window is never shown and keystrokes do
// not close it; a thread of the framework holds its module (fw_detach_module.dll) until its
// last step, so that an unload neither waits for it nor unmaps code under it. (A process that
// ends while the add-on's worker runs is tested with the built module in tests/stress.)
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

// Before the framework's headers: it removes the character-set macros of <windows.h>.
#include "framework/win32/windows_api.h"

#include "framework/async_socket.h"
#include "framework/wnd.h"
#include "loopback.h"
#include "resource.h"
#include "test_support.h"

namespace {

using Events = std::vector<std::string>;

class NamedSocket : public fw::CAsyncSocket {
 public:
  NamedSocket(qbtest::EventLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}
  void OnConnect(int error) override { m_log.Add(m_name + " connect " + std::to_string(error)); }
  void OnSend(int error) override { m_log.Add(m_name + " send " + std::to_string(error)); }
  void OnReceive(int error) override { m_log.Add(m_name + " receive " + std::to_string(error)); }
  void OnClose(int error) override { m_log.Add(m_name + " close " + std::to_string(error)); }

 private:
  qbtest::EventLog& m_log;
  std::string m_name;
};

TEST(Win32AsyncSocket, QueuedNotificationOfAClosedSocketDoesNotReachItsSuccessor) {
  qbtest::Listener refusing(0, "127.0.0.1", false), listener;
  qbtest::EventLog log;
  std::unique_ptr<NamedSocket> first, second;
  qbtest::LoopThread thread;
  thread.Run([&] {
    first = std::make_unique<NamedSocket>(log, "first");
    ASSERT_TRUE(first->Create());
    ASSERT_FALSE(first->Connect("127.0.0.1", refusing.Port()));
    MSG message;  // waits, without taking it, until the refusal is queued
    for (int i = 0; i < 2000 && !PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE); ++i) Sleep(5);
    first.reset();
    second = std::make_unique<NamedSocket>(log, "second");
    ASSERT_TRUE(second->Create());
    EXPECT_FALSE(second->Connect("127.0.0.1", listener.Port()));
  });
  const std::unique_ptr<qbtest::Peer> peer = listener.Accept();  // kept open: no close notification
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(log.WaitFor("second send 0"));
  thread.Settle();
  EXPECT_EQ(log.Events(), (Events{"second connect 0", "second send 0"}));
  thread.Run([&] { second.reset(); });
}

class WatchedDialog : public fw::CDialog {
 public:
  WatchedDialog() : CDialog(IDD_QBNOTIFY_CONFIGURE) {}
  ::HWND Native() const { return reinterpret_cast<::HWND>(m_hWnd); }
  std::atomic<int> m_nShown{0}, m_nOk{0}, m_nCancel{0};

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override {
    if ((message == WM_SHOWWINDOW && wParam != 0) ||
        (message == WM_WINDOWPOSCHANGING && (reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_SHOWWINDOW))) {
      ++m_nShown;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }
  void OnOK() override { ++m_nOk; }
  void OnCancel() override { ++m_nCancel; }
};

TEST(Win32HiddenDialog, TemplateNineIsNeverShownAndKeystrokesDoNotCloseIt) {
  qbtest::LoopThread thread;
  WatchedDialog dialog;
  const ::HWND window = thread.Run([&] { return dialog.Create() ? dialog.Native() : nullptr; });
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE, 0);
  for (::HWND target : {window, GetDlgItem(window, IDC_SMTP_SERVER)}) {
    ASSERT_NE(target, nullptr);
    for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
      PostMessageA(target, WM_KEYDOWN, key, 1);
      PostMessageA(target, WM_CHAR, key == VK_RETURN ? '\r' : 0x1B, 1);
      PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    }
  }
  PostMessageA(window, WM_COMMAND, IDOK, 0);
  PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
  thread.Settle();
  EXPECT_TRUE(IsWindow(window));
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(dialog.m_nShown, 0);
  EXPECT_EQ(dialog.m_nOk, 1);
  EXPECT_EQ(dialog.m_nCancel, 1);
  thread.Run([&] { EXPECT_TRUE(dialog.DestroyWindow()); });
  EXPECT_FALSE(IsWindow(window));
}

constexpr DWORD kDeadlockTimeoutMs = 20000;

// fw_detach_module.dll, loaded; the module's path.
std::string LoadDetachModule(HMODULE& module) {
  const std::string path = qbtest::ExecutableDir() + "fw_detach_module.dll";
  qbtest::SetEnv("QB_DETACH_TRACE", nullptr);
  module = LoadLibraryA(path.c_str());
  return path;
}

template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

DWORD WINAPI UnloadModule(LPVOID module) {
  return FreeLibrary(static_cast<HMODULE>(module)) ? 1 : 0;
}

// Unloads on a helper thread, so that a deadlock in the detach fails the test (a helper stuck
// there holds the loader lock, which would keep this process from ending too). The helper's
// thread id.
DWORD UnloadWithin(HMODULE module, DWORD timeoutMs) {
  DWORD helperId = 0;
  HANDLE helper = CreateThread(nullptr, 0, &UnloadModule, module, 0, &helperId);
  EXPECT_NE(helper, nullptr);
  if (helper == nullptr) return 0;
  if (WaitForSingleObject(helper, timeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "FreeLibrary did not return: the detach deadlocked";
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  DWORD freed = 0;
  GetExitCodeThread(helper, &freed);
  CloseHandle(helper);
  EXPECT_EQ(freed, 1u);
  return helperId;
}

// The host's FreeLibrary while the module's thread runs only drops the host's reference: the
// module stays mapped until the thread's last step, whose release runs the detach on that
// thread and ends it without returning into the module (a return would crash this process;
// the exit code is the one ExitInstance gave).
TEST(Win32ModuleLifetime, ARunningThreadHoldsItsModuleUntilItsLastStep) {
  constexpr DWORD kLifetimeMs = 1500;
  HMODULE module = nullptr;
  const std::string path = LoadDetachModule(module);
  ASSERT_NE(module, nullptr);
  const auto start = Export<DWORD (*)(DWORD)>(module, "StartDetachWorker");
  ASSERT_NE(start, nullptr);
  const ULONGLONG started = GetTickCount64();
  const DWORD threadId = start(kLifetimeMs);
  ASSERT_NE(threadId, 0u);
  HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
  ASSERT_NE(thread, nullptr);

  UnloadWithin(module, kDeadlockTimeoutMs);
  if (GetTickCount64() - started < kLifetimeMs) {
    EXPECT_EQ(GetModuleHandleA(path.c_str()), module);
    EXPECT_EQ(qbtest::GetEnv("QB_DETACH_TRACE"), std::nullopt);
  }
  ASSERT_EQ(WaitForSingleObject(thread, kDeadlockTimeoutMs), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
  EXPECT_EQ(exitCode, 7u);
  CloseHandle(thread);
  EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
  EXPECT_EQ(qbtest::GetEnv("QB_DETACH_TRACE"), "detach on " + std::to_string(threadId) + ";");
}

// A thread stopped from outside the loader lock first (as QBAddOnCanUnload stops an idle
// worker) leaves the unload nothing to wait for: the detach runs at once, on the unloading
// thread, and the module is gone when FreeLibrary returns.
TEST(Win32ModuleLifetime, AStoppedThreadLeavesTheUnloadNothingToWaitFor) {
  HMODULE module = nullptr;
  const std::string path = LoadDetachModule(module);
  ASSERT_NE(module, nullptr);
  const auto start = Export<DWORD (*)(DWORD)>(module, "StartDetachWorker");
  const auto stop = Export<void (*)()>(module, "StopDetachWorker");
  ASSERT_TRUE(start && stop);
  ASSERT_NE(start(60000), 0u);
  stop();
  const DWORD unloader = UnloadWithin(module, kDeadlockTimeoutMs);
  EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
  EXPECT_EQ(qbtest::GetEnv("QB_DETACH_TRACE"), "detach on " + std::to_string(unloader) + ";");
}

}  // namespace

#endif  // _WIN32
