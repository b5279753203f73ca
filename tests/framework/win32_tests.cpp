// Windows only: a notification queued for a closed socket never reaches a successor that got
// its handle; the dialog template made into a hidden window is never shown and keystrokes do
// not close it. (A module's threads against its unload are tested with the built module in
// tests/stress.)
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <atomic>

// Before the framework's headers: it removes the character-set macros of <windows.h>.
#include "framework/win32/windows_api.h"

#include "framework/async_socket.h"
#include "framework/wnd.h"
#include "loopback.h"
#include "recording_socket.h"
#include "resource.h"
#include "test_support.h"

namespace {

using Events = std::vector<std::string>;

TEST(Win32AsyncSocket, QueuedNotificationOfAClosedSocketDoesNotReachItsSuccessor) {
  qbtest::Listener refusing(0, "127.0.0.1", false), listener;
  qbtest::EventLog log;
  std::unique_ptr<qbtest::RecordingSocket> first, second;
  qbtest::LoopThread thread;
  thread.Run([&] {
    first = std::make_unique<qbtest::RecordingSocket>(log, "first ");
    ASSERT_TRUE(first->Create());
    ASSERT_FALSE(first->Connect("127.0.0.1", refusing.Port()));
    MSG message;  // waits, without taking it, until the refusal is queued
    for (int i = 0; i < 2000 && !PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE); ++i) Sleep(5);
    first.reset();
    second = std::make_unique<qbtest::RecordingSocket>(log, "second ");
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
  EXPECT_EQ((std::vector<int>{dialog.m_nShown, dialog.m_nOk, dialog.m_nCancel}), (std::vector<int>{0, 1, 1}));
  thread.Run([&] { EXPECT_TRUE(dialog.DestroyWindow()); });
  EXPECT_FALSE(IsWindow(window));
}

}  // namespace

#endif  // _WIN32
