// Windows of a worker thread: creation with kWmInitDialog, message routing, the destroy
// sequence, self-deletion, and dialog commands that must not close a modeless window.
#include <gtest/gtest.h>

#include "async_test_support.h"
#include "framework/wnd.h"
#include "resource.h"

namespace {

using qbtest::EventLog;
using qbtest::LoopThread;

constexpr fw::UINT kPing = fw::kWmUser + 7;

std::string Name(fw::UINT message) {
  switch (message) {
    case fw::kWmInitDialog:
      return "init";
    case fw::kWmDestroy:
      return "destroy";
    case fw::kWmNcDestroy:
      return "ncdestroy";
    case fw::kWmClose:
      return "close";
    case fw::kWmCommand:
      return "command";
    case kPing:
      return "ping";
    default:
      return "other";
  }
}

class RecordingDialog : public fw::CDialog {
 public:
  explicit RecordingDialog(EventLog& log) : CDialog(IDD_QBNOTIFY_CONFIGURE), m_log(log) {}
  ~RecordingDialog() override { m_log.Add("deleted"); }
  fw::HWND Handle() const { return m_hWnd; }

  bool m_bDeleteOnNcDestroy = false;
  bool m_bDeleteOnDestroy = false;

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override {
    if (message == fw::kWmInitDialog || message == fw::kWmDestroy || message == fw::kWmNcDestroy ||
        message == fw::kWmClose || message == kPing) {
      m_log.Add(Name(message) + (message == kPing ? " " + std::to_string(wParam) : ""));
    }
    if (message == fw::kWmDestroy && m_bDeleteOnDestroy) {
      delete this;
      return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
  }
  bool OnInitDialog() override {
    m_log.Add("OnInitDialog");
    return CDialog::OnInitDialog();
  }
  void PostNcDestroy() override {
    m_log.Add("PostNcDestroy");
    if (m_bDeleteOnNcDestroy) delete this;
  }

 private:
  EventLog& m_log;
};

// A dialog that keeps the base's OnOK and OnCancel.
class PlainDialog : public fw::CDialog {
 public:
  PlainDialog() : CDialog(IDD_QBNOTIFY_CONFIGURE) {}
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_thread.Start()); }
  EventLog m_log;
  LoopThread m_thread;  // last: ends before the members its thread uses
};

TEST_F(WindowTest, CreateHandlesInitDialogBeforeReturningAndPostedMessagesArriveInOrder) {
  RecordingDialog* dialog = nullptr;
  fw::HWND handle = nullptr;
  ASSERT_TRUE(m_thread.Call([&] {
    dialog = new RecordingDialog(m_log);
    dialog->m_bDeleteOnNcDestroy = true;
    EXPECT_TRUE(dialog->Create());
    m_log.Add("created");
    handle = dialog->GetSafeHwnd();
  }));
  ASSERT_NE(handle, nullptr);
  // Posted from another thread, handled on the window's thread in posting order.
  for (fw::WPARAM i = 0; i < 3; ++i) EXPECT_TRUE(fw::CWnd::PostMessage(handle, kPing, i, 0));
  ASSERT_TRUE(m_thread.Call([&] { EXPECT_TRUE(dialog->DestroyWindow()); }));
  EXPECT_EQ(m_log.Events(), (std::vector<std::string>{"init", "OnInitDialog", "created", "ping 0", "ping 1", "ping 2",
                                                      "destroy", "ncdestroy", "PostNcDestroy", "deleted"}));
  // The handle of a destroyed window finds nothing.
  EXPECT_FALSE(fw::CWnd::PostMessage(handle, kPing, 9, 0));
}

TEST_F(WindowTest, DestroyClearsTheHandleAndDropsMessagesPostedBefore) {
  RecordingDialog dialog(m_log);
  ASSERT_TRUE(m_thread.Call([&] {
    ASSERT_TRUE(dialog.Create());
    const fw::HWND handle = dialog.GetSafeHwnd();
    EXPECT_TRUE(fw::CWnd::PostMessage(handle, kPing, 1, 0));
    EXPECT_TRUE(dialog.DestroyWindow());
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
    EXPECT_FALSE(dialog.DestroyWindow());
    EXPECT_EQ(fw::CWnd::SendMessage(handle, kPing, 2, 0), 0);
  }));
  ASSERT_TRUE(m_thread.Call([] {}));
  EXPECT_EQ(m_log.Events(),
            (std::vector<std::string>{"init", "OnInitDialog", "destroy", "ncdestroy", "PostNcDestroy"}));
}

TEST_F(WindowTest, CloseDestroysButOkAndCancelOfAModelessDialogDoNot) {
  RecordingDialog dialog(m_log);
  PlainDialog plain;
  ASSERT_TRUE(m_thread.Call([&] {
    ASSERT_TRUE(dialog.Create());
    ASSERT_TRUE(plain.Create());
    fw::CWnd::SendMessage(plain.GetSafeHwnd(), fw::kWmCommand, fw::kIdOk, 0);
    fw::CWnd::SendMessage(plain.GetSafeHwnd(), fw::kWmCommand, fw::kIdCancel, 0);
    EXPECT_NE(plain.GetSafeHwnd(), nullptr);
    EXPECT_TRUE(fw::CWnd::PostMessage(dialog.GetSafeHwnd(), fw::kWmClose, 0, 0));
  }));
  ASSERT_TRUE(m_thread.Call([&] {
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
    EXPECT_NE(plain.GetSafeHwnd(), nullptr);
    EXPECT_TRUE(plain.DestroyWindow());
  }));
  EXPECT_EQ(m_log.Events(),
            (std::vector<std::string>{"init", "OnInitDialog", "close", "destroy", "ncdestroy", "PostNcDestroy"}));
}

TEST_F(WindowTest, DeletingALiveWindowDestroysItWithoutTheDerivedProcedure) {
  fw::HWND handle = nullptr;
  ASSERT_TRUE(m_thread.Call([&] {
    auto* dialog = new RecordingDialog(m_log);
    ASSERT_TRUE(dialog->Create());
    handle = dialog->GetSafeHwnd();
    delete dialog;
  }));
  EXPECT_EQ(m_log.Events(), (std::vector<std::string>{"init", "OnInitDialog", "deleted"}));
  EXPECT_FALSE(fw::CWnd::PostMessage(handle, kPing, 0, 0));
}

TEST_F(WindowTest, AWindowDeletedByItsOwnDestroyHandlingIsNotUsedAfterwards) {
  fw::HWND handle = nullptr;
  ASSERT_TRUE(m_thread.Call([&] {
    auto* dialog = new RecordingDialog(m_log);
    dialog->m_bDeleteOnDestroy = true;
    ASSERT_TRUE(dialog->Create());
    handle = dialog->GetSafeHwnd();
    fw::CWnd::SendMessage(handle, fw::kWmClose, 0, 0);
  }));
  EXPECT_EQ(m_log.Events(), (std::vector<std::string>{"init", "OnInitDialog", "close", "destroy", "deleted"}));
  EXPECT_FALSE(fw::CWnd::PostMessage(handle, kPing, 0, 0));
}

}  // namespace
