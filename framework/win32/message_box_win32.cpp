// Message boxes on Win32: MessageBoxW with the Windows-1252 text and caption converted, owned
// by the thread's modal dialog so that the dialog waits for the answer; the text box is a
// dialog box made in memory with a read-only edit.
#include "framework/app.h"
#include "framework/framework_res.h"
#include "framework/message_box.h"
#include "framework/strings.h"
#include "framework/win32/memory_dialog.h"
#include "framework/win32/text_1252.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

constexpr WORD kTextId = 0xFFFF;  // as in message boxes, where a reader of the box finds its text

// Every line end as CR LF, which a multi-line edit needs.
std::string WithCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) out += '\n';
  }
  return out;
}

::INT_PTR CALLBACK TextBoxProc(::HWND box, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetDlgItemTextW(box, kTextId, reinterpret_cast<const wchar_t*>(lParam));
    ::SetFocus(::GetDlgItem(box, IDOK));  // not the edit, which would select its whole text
    return FALSE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(box, IDOK);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

int AfxMessageBox(const std::string& text, UINT type) {
  const std::wstring caption = win32::WideFromWindows1252(AfxGetAppName());
  return ::MessageBoxW(win32::BoxOwner(), win32::WideFromWindows1252(text).c_str(), caption.c_str(), type);
}

void TextBox(const std::string& text) {
  using Template = win32::MemoryDialogTemplate;
  Template box(win32::WideFromWindows1252(AfxGetAppName()), 320, 200);
  box.Add(Template::ControlClass::kEdit, kTextId,
          WS_BORDER | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, {7, 7, 306, 163});
  box.Add(Template::ControlClass::kButton, IDOK, WS_TABSTOP | BS_DEFPUSHBUTTON, {263, 179, 50, 14},
          win32::WideFromWindows1252(LoadString(FW_IDS_BUTTON_OK)));
  const std::wstring wide = win32::WideFromWindows1252(WithCrLf(text));
  box.Run(win32::BoxOwner(), &TextBoxProc, reinterpret_cast<::LPARAM>(wide.c_str()));
}

int AfxMessageBox(UINT textId, UINT type) {
  return AfxMessageBox(LoadString(textId), type);
}

}  // namespace fw
