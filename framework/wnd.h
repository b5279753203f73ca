// Windows of the thread that creates them: a base window with a message procedure, and a
// dialog made from a dialog template of the module's resources. Messages for a window are
// dispatched on the thread that created it.
//
// Threads by ownership: a window belongs to the thread that created it. Only that thread
// sends it messages, shows, destroys and deletes it (debug builds assert it); any thread may
// post to it.
//
// Windows: real windows (CreateDialogParamA and a window procedure). Elsewhere: an object
// registered with its thread's message loop that receives the same messages (kWmInitDialog,
// kWmCommand, kWmClose, kWmDestroy, kWmNcDestroy and posted user messages); nothing is drawn.
#pragma once

#include "framework/types.h"

namespace fw {

struct WindowOpaque;
using HWND = WindowOpaque*;

inline constexpr int kSwHide = 0;
inline constexpr int kSwShow = 5;

class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  // Destroys the window if it still exists. As with the platform framework, the destroy
  // messages of that destruction reach only this base class's procedure.
  virtual ~CWnd();

  HWND GetSafeHwnd() const { return m_hWnd; }
  // Sends kWmDestroy and kWmNcDestroy, then PostNcDestroy; the handle is null afterwards.
  bool DestroyWindow();
  bool ShowWindow(int command);

  // Calls the window's procedure on the calling thread (which must be the window's own).
  static LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Queues a message for the window's thread. False when the window does not exist.
  static bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  // The window's message procedure. Overrides handle what they need and pass the rest to
  // the base, which does the default handling (kWmClose destroys the window).
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Called after the window's last message (kWmNcDestroy); the object may delete itself here.
  virtual void PostNcDestroy();

  HWND m_hWnd = nullptr;

 public:
  struct Backend;  // the backend's access to the protected members

 private:
  friend struct Backend;
};

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr) : m_nTemplateId(templateId), m_pParent(parent) {}

  // Creates the modeless dialog from its template on the calling thread, hidden unless the
  // template says otherwise; returns once kWmInitDialog was handled.
  bool Create();

  virtual bool OnInitDialog();
  virtual void OnOK();      // modeless: hides nothing, ends nothing; modal: ends with kIdOk
  virtual void OnCancel();  // modeless: as OnOK; modal: ends with kIdCancel

 protected:
  // Routes kWmInitDialog to OnInitDialog and kWmCommand with kIdOk/kIdCancel to OnOK/OnCancel.
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  UINT m_nTemplateId;
  CWnd* m_pParent;
};

}  // namespace fw
