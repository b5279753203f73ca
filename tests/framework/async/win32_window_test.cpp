// Windows: the module's dialog template made into a hidden window. Whatever reaches it (dialog
// commands, Enter and Escape keystrokes on the dialog and on its controls) never shows it and
// never closes it; only the OK and Cancel commands reach OnOK and OnCancel.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <atomic>

#include "async_test_support.h"
#include "framework/win32/windows_api.h"
#include "framework/wnd.h"
#include "resource.h"

namespace {

using qbtest::LoopThread;

class WatchedDialog : public fw::CDialog {
 public:
  WatchedDialog() : CDialog(IDD_QBNOTIFY_CONFIGURE) {}
  ::HWND Native() const { return reinterpret_cast<::HWND>(m_hWnd); }

  std::atomic<int> m_nShown{0};
  std::atomic<int> m_nOk{0};
  std::atomic<int> m_nCancel{0};

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override {
    if (message == WM_SHOWWINDOW && wParam != 0) ++m_nShown;
    if (message == WM_WINDOWPOSCHANGING && (reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_SHOWWINDOW)) {
      ++m_nShown;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }
  void OnOK() override { ++m_nOk; }
  void OnCancel() override { ++m_nCancel; }
};

void PostKeystroke(::HWND target, WPARAM key) {
  PostMessageA(target, WM_KEYDOWN, key, 1);
  PostMessageA(target, WM_CHAR, key == VK_RETURN ? '\r' : 0x1B, 1);
  PostMessageA(target, WM_KEYUP, key, 0xC0000001);
}

TEST(Win32HiddenDialog, TemplateNineIsNeverShownAndKeystrokesDoNotCloseIt) {
  LoopThread thread;
  ASSERT_TRUE(thread.Start());
  WatchedDialog dialog;
  ::HWND window = nullptr;
  ASSERT_TRUE(thread.Call([&] {
    ASSERT_TRUE(dialog.Create());
    window = dialog.Native();
  }));
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE, 0);

  ::HWND edit = GetDlgItem(window, IDC_SMTP_SERVER);
  ASSERT_NE(edit, nullptr);
  for (::HWND target : {window, edit}) {
    PostKeystroke(target, VK_RETURN);
    PostKeystroke(target, VK_ESCAPE);
  }
  PostMessageA(window, WM_COMMAND, IDOK, 0);
  PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(thread.Call([] {}));
  ASSERT_TRUE(thread.Call([] {}));

  EXPECT_TRUE(IsWindow(window));
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(dialog.m_nShown, 0);
  EXPECT_EQ(dialog.m_nOk, 1);
  EXPECT_EQ(dialog.m_nCancel, 1);
  ASSERT_TRUE(thread.Call([&] { EXPECT_TRUE(dialog.DestroyWindow()); }));
  EXPECT_FALSE(IsWindow(window));
}

}  // namespace

#endif  // _WIN32
