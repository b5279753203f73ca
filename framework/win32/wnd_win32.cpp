// CWnd and CDialog on Win32: modeless dialogs made with CreateDialogParamA and modal ones
// with DialogBoxParamW (wide controls, so that texts keep every character) from the module's
// templates. At WM_INITDIALOG the window is subclassed, so that every later message reaches
// the object's WindowProc as a window procedure's message, and the base WindowProc's default
// handling is the dialog class's own procedure. A window is sent messages, shown and destroyed
// by the thread that created it only (debug builds assert it); other threads may post to it.
#include "framework/wnd.h"

#include <vector>

#include "framework/owner_thread.h"
#include "framework/win32/async_internal.h"
#include "framework/win32/dialog_internal.h"
#include "framework/win32/module_handle.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

::HWND Native(fw::HWND window) {
  return reinterpret_cast<::HWND>(window);
}
fw::HWND Opaque(::HWND window) {
  return reinterpret_cast<fw::HWND>(window);
}

// What a subclassed window keeps in GWLP_USERDATA: its object (null once the object has let
// go of the window), the procedure it had before, and whether its destruction has begun.
struct WindowLink {
  CWnd* wnd;
  WNDPROC original;
  bool destroying = false;
};

// True on the thread that created `window`, and when it is no window (any more).
[[maybe_unused]] bool OnOwnerThread(::HWND window) {
  const DWORD owner = ::GetWindowThreadProcessId(window, nullptr);
  return owner == 0 || owner == ::GetCurrentThreadId();
}

WindowLink* LinkOf(::HWND window) {
  return reinterpret_cast<WindowLink*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT DefaultProc(::HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowLink* link = LinkOf(window);
  return link != nullptr ? ::CallWindowProcA(link->original, window, message, wParam, lParam)
                         : ::DefWindowProcA(window, message, wParam, lParam);
}

// The modal dialogs running on this thread, innermost last: the owners of message boxes.
thread_local std::vector<const CDialog*> t_modalDialogs;

}  // namespace

namespace win32 {

::HWND CurrentModalDialog() {
  return t_modalDialogs.empty() ? nullptr : Native(t_modalDialogs.back()->GetSafeHwnd());
}

}  // namespace win32

struct CDialog::Impl {
  bool modal = false;
};

struct CWnd::Backend {
  static ::LRESULT CALLBACK SubclassProc(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam);
  static INT_PTR CALLBACK DialogProc(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam);
  static LRESULT Call(CWnd& wnd, UINT message, WPARAM wParam, LPARAM lParam);
};

LRESULT CWnd::Backend::Call(CWnd& wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return wnd.WindowProc(message, wParam, lParam);
  } catch (...) {
    // Nothing may unwind through the system's dispatch: the message counts as handled.
    return 0;
  }
}

::LRESULT CALLBACK CWnd::Backend::SubclassProc(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  WindowLink* link = LinkOf(window);
  if (link == nullptr) return ::DefWindowProcA(window, message, wParam, lParam);
  if (message == win32::LookupRelayMessage()) {
    win32::DeliverLookup(window, wParam, lParam);
    return 0;
  }
  if (message == WM_DESTROY || message == WM_NCDESTROY) link->destroying = true;
  const LRESULT result = link->wnd != nullptr ? Call(*link->wnd, message, wParam, lParam)
                                              : ::CallWindowProcA(link->original, window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // The window's last message: unhook, then let the object go (it may delete itself).
    ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(link->original));
    ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    CWnd* wnd = link->wnd;
    delete link;
    if (wnd != nullptr) {
      wnd->m_hWnd = nullptr;
      wnd->PostNcDestroy();
    }
  }
  return result;
}

INT_PTR CALLBACK CWnd::Backend::DialogProc(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  // Once subclassed, the dialog class's procedure still calls this one for every message:
  // answering FALSE lets it do its default handling.
  if (message != WM_INITDIALOG || LinkOf(window) != nullptr) return FALSE;
  auto* wnd = reinterpret_cast<CWnd*>(lParam);
  auto* link = new WindowLink{wnd, nullptr, false};
  ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(link));
  link->original =
      reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc)));
  wnd->m_hWnd = Opaque(window);
  return Call(*wnd, message, wParam, lParam);
}

CWnd::~CWnd() {
  ::HWND window = Native(m_hWnd);
  if (window == nullptr) return;
  FW_ASSERT_OWNER_THREAD(OnOwnerThread(window));
  WindowLink* link = LinkOf(window);
  // Deleted by its own destroy handling: the destruction goes on without this object.
  // Otherwise the destroy messages reach only this base class's procedure (the derived parts
  // are gone). Another thread's window cannot be destroyed from here: it is cut off instead.
  if ((link != nullptr && link->destroying) || !::DestroyWindow(window)) {
    if (link != nullptr) link->wnd = nullptr;
    m_hWnd = nullptr;
  }
}

bool CWnd::DestroyWindow() {
  ::HWND window = Native(m_hWnd);
  if (window == nullptr) return false;
  FW_ASSERT_OWNER_THREAD(OnOwnerThread(window));
  return ::DestroyWindow(window) != FALSE;  // this object may be gone now
}

bool CWnd::ShowWindow(int command) {
  ::HWND window = Native(m_hWnd);
  if (window == nullptr) return false;
  FW_ASSERT_OWNER_THREAD(OnOwnerThread(window));
  return ::ShowWindow(window, command) != FALSE;
}

LRESULT CWnd::SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == nullptr) return 0;
  FW_ASSERT_OWNER_THREAD(OnOwnerThread(Native(window)));
  return ::SendMessageA(Native(window), message, wParam, lParam);
}

bool CWnd::PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == nullptr) return false;  // a null window would make it a thread message
  return ::PostMessageA(Native(window), message, wParam, lParam) != FALSE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kWmClose) {
    DestroyWindow();  // this object may be gone now
    return 0;
  }
  return DefaultProc(Native(m_hWnd), message, wParam, lParam);
}

void CWnd::PostNcDestroy() {}

CDialog::CDialog(UINT templateId, CWnd* parent)
    : m_nTemplateId(templateId), m_pParent(parent), m_impl(std::make_unique<Impl>()) {}

CDialog::~CDialog() = default;

bool CDialog::IsModal() const {
  return m_impl->modal;
}

bool CDialog::Create() {
  if (m_hWnd != nullptr) return false;
  ::HWND parent = m_pParent != nullptr ? Native(m_pParent->GetSafeHwnd()) : nullptr;
  ::HWND window = ::CreateDialogParamA(win32::ModuleHandle(), MAKEINTRESOURCEA(m_nTemplateId), parent,
                                       &Backend::DialogProc, reinterpret_cast<LPARAM>(this));
  if (window == nullptr) return false;
  m_hWnd = Opaque(window);
  return true;
}

int CDialog::DoModal() {
  if (m_hWnd != nullptr || m_impl->modal) return -1;
  ::HWND parent = m_pParent != nullptr ? Native(m_pParent->GetSafeHwnd()) : nullptr;
  m_impl->modal = true;
  t_modalDialogs.push_back(this);
  const INT_PTR result = ::DialogBoxParamW(win32::ModuleHandle(), MAKEINTRESOURCEW(m_nTemplateId), parent,
                                           &Backend::DialogProc, reinterpret_cast<LPARAM>(this));
  t_modalDialogs.pop_back();
  m_impl->modal = false;
  return static_cast<int>(result);
}

void CDialog::EndDialog(int result) {
  if (m_hWnd != nullptr && m_impl->modal) ::EndDialog(Native(m_hWnd), result);
}

}  // namespace fw
