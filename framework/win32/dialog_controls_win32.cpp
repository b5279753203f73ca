// The controls of a CDialog on Win32, through their wide messages: texts are converted from
// and to Windows-1252 explicitly, so that they do not depend on the ANSI code page and a
// character that Windows-1252 cannot hold is noticed instead of being replaced.
#include "framework/win32/text_1252.h"
#include "framework/win32/windows_api.h"
#include "framework/wnd.h"

namespace fw {
namespace {

::HWND Control(HWND dialog, int id) {
  return dialog != nullptr ? ::GetDlgItem(reinterpret_cast<::HWND>(dialog), id) : nullptr;
}

}  // namespace

bool CDialog::GetDlgItemText(int id, std::string& text) const {
  text.clear();
  ::HWND control = Control(m_hWnd, id);
  if (control == nullptr) return false;
  std::wstring wide(static_cast<std::size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
  wide.resize(static_cast<std::size_t>(::GetWindowTextW(control, wide.data(), static_cast<int>(wide.size()))));
  return win32::Windows1252FromWide(wide, text);
}

void CDialog::SetDlgItemText(int id, std::string_view text) {
  if (::HWND control = Control(m_hWnd, id)) ::SetWindowTextW(control, win32::WideFromWindows1252(text).c_str());
}

void CDialog::LimitText(int id, std::size_t maxLength) {
  if (::HWND control = Control(m_hWnd, id)) ::SendMessageW(control, EM_LIMITTEXT, maxLength, 0);
}

int CDialog::AddComboString(int id, std::string_view text) {
  ::HWND control = Control(m_hWnd, id);
  if (control == nullptr) return CB_ERR;
  const std::wstring wide = win32::WideFromWindows1252(text);
  return static_cast<int>(::SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str())));
}

int CDialog::GetComboSelection(int id) const {
  ::HWND control = Control(m_hWnd, id);
  return control != nullptr ? static_cast<int>(::SendMessageW(control, CB_GETCURSEL, 0, 0)) : CB_ERR;
}

void CDialog::SetComboSelection(int id, int index) {
  if (::HWND control = Control(m_hWnd, id)) ::SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void CDialog::EnableDlgItem(int id, bool enable) {
  if (::HWND control = Control(m_hWnd, id)) ::EnableWindow(control, enable ? TRUE : FALSE);
}

void CDialog::GotoDlgCtrl(int id) {
  ::HWND control = Control(m_hWnd, id);
  if (control == nullptr) return;
  // WM_NEXTDLGCTL moves the focus as the dialog manager does, selecting an edit's text.
  ::SendMessageW(reinterpret_cast<::HWND>(m_hWnd), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

}  // namespace fw
