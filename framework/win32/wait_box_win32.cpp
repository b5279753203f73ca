// The wait box on Win32: a modal dialog box with the text and a Cancel button whose timer asks
// the caller's condition ten times a second; the owner's windows keep being served meanwhile.
#include "framework/app.h"
#include "framework/framework_res.h"
#include "framework/strings.h"
#include "framework/wait_box.h"
#include "framework/win32/memory_dialog.h"
#include "framework/win32/text_1252.h"

namespace fw {
namespace {

constexpr ::UINT_PTR kTimerId = 1;
constexpr ::UINT kPollMilliseconds = 100;
constexpr WORD kTextId = 0xFFFF;  // as in message boxes

bool Done(::HWND box) {
  const auto* isDone = reinterpret_cast<const std::function<bool()>*>(::GetWindowLongPtrW(box, DWLP_USER));
  try {
    return isDone == nullptr || (*isDone)();
  } catch (...) {
    return true;  // a condition that cannot be asked ends the wait
  }
}

::INT_PTR CALLBACK WaitProc(::HWND box, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      ::SetWindowLongPtrW(box, DWLP_USER, lParam);
      ::SetTimer(box, kTimerId, kPollMilliseconds, nullptr);
      return TRUE;
    case WM_TIMER:
      if (wParam == kTimerId && Done(box)) ::EndDialog(box, IDOK);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDCANCEL) ::EndDialog(box, IDCANCEL);  // the button, Esc or the close box
      return TRUE;
    case WM_DESTROY:
      ::KillTimer(box, kTimerId);
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

bool WaitBox(const std::string& text, const std::function<bool()>& isDone) {
  if (isDone()) return true;
  using Template = win32::MemoryDialogTemplate;
  Template box(win32::WideFromWindows1252(AfxGetAppName()), 220, 58);
  box.Add(Template::ControlClass::kStatic, kTextId, SS_LEFT, {7, 9, 206, 16}, win32::WideFromWindows1252(text));
  box.Add(Template::ControlClass::kButton, IDCANCEL, WS_TABSTOP | BS_DEFPUSHBUTTON, {163, 37, 50, 14},
          win32::WideFromWindows1252(LoadString(FW_IDS_BUTTON_CANCEL)));
  const ::INT_PTR result = box.Run(win32::BoxOwner(), &WaitProc, reinterpret_cast<::LPARAM>(&isDone));
  return result == IDOK || (result != IDCANCEL && isDone());
}

}  // namespace fw
