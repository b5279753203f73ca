// Message boxes on Win32: MessageBoxW with the Windows-1252 text and caption converted, owned
// by the thread's modal dialog so that the dialog waits for the answer.
#include "framework/app.h"
#include "framework/message_box.h"
#include "framework/strings.h"
#include "framework/win32/dialog_internal.h"
#include "framework/win32/text_1252.h"
#include "framework/win32/windows_api.h"

namespace fw {

int AfxMessageBox(const std::string& text, UINT type) {
  ::HWND owner = win32::CurrentModalDialog();
  if (owner == nullptr) owner = ::GetActiveWindow();
  const std::wstring caption = win32::WideFromWindows1252(AfxGetAppName());
  return ::MessageBoxW(owner, win32::WideFromWindows1252(text).c_str(), caption.c_str(), type);
}

int AfxMessageBox(UINT textId, UINT type) {
  return AfxMessageBox(LoadString(textId), type);
}

}  // namespace fw
