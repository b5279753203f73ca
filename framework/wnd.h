// Windows of the thread that creates them: a base window with a message procedure, and a
// dialog made from a dialog template of the module's resources. Messages for a window are
// dispatched on the thread that created it.
//
// Threads by ownership: a window belongs to the thread that created it. Only that thread
// sends it messages, shows, destroys and deletes it (debug builds assert it); any thread may
// post to it.
//
// Windows: real windows (CreateDialogParamA, DialogBoxParamW and a window procedure).
// Elsewhere: an object registered with its thread's message loop that receives the same
// messages (kWmInitDialog, kWmCommand, kWmClose, kWmDestroy, kWmNcDestroy and posted user
// messages); nothing is drawn, and a modal dialog is asked on the terminal.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/data_exchange.h"
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
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;

  // Creates the modeless dialog from its template on the calling thread, hidden unless the
  // template says otherwise; returns once kWmInitDialog was handled.
  bool Create();
  // Runs the dialog modally on the calling thread and returns the result given to EndDialog:
  // kIdCancel when the dialog cannot be shown (no terminal), -1 when it cannot be made.
  // Windows: a modal dialog box from the module's template. Elsewhere: the same dialog asked
  // on the terminal (framework/posix/terminal_dialog.cpp says how).
  int DoModal();
  // Ends the modal dialog with `result` once the current message has been handled.
  void EndDialog(int result);

  // Base: adds the template's initial list items to their combo boxes, then moves the fields
  // into the controls (UpdateData(false)). True lets the system set the focus.
  virtual bool OnInitDialog();
  virtual void OnOK();      // modal: UpdateData(true), then EndDialog(kIdOk); modeless: nothing
  virtual void OnCancel();  // modal: EndDialog(kIdCancel); modeless: nothing

  // Moves the fields of DataExchangeTable() into the controls (false) or, with their checks,
  // from the controls into the fields (true); false when a check failed.
  bool UpdateData(bool saveAndValidate = true);

  // The dialog's controls, by id, on the dialog's thread. Texts are Windows-1252; GetDlgItemText
  // is false when there is no such control or its text holds a character that Windows-1252
  // cannot hold.
  bool GetDlgItemText(int id, std::string& text) const;
  void SetDlgItemText(int id, std::string_view text);
  void LimitText(int id, std::size_t maxLength);  // 0: no limit
  int AddComboString(int id, std::string_view text);
  int GetComboSelection(int id) const;  // -1: none
  void SetComboSelection(int id, int index);
  void GotoDlgCtrl(int id);  // moves the focus to the control (and selects an edit's text)
  // A disabled control takes no input: the terminal form skips it (a button is not offered).
  void EnableDlgItem(int id, bool enable);

  struct Impl;

 protected:
  // Routes kWmInitDialog to OnInitDialog, kWmCommand with kIdOk/kIdCancel to OnOK/OnCancel and,
  // in a modal dialog, kWmClose to OnCancel.
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // The rows of data exchange (framework/data_exchange.h); the base has none.
  virtual std::vector<DataExchangeField> DataExchangeTable();

  bool IsModal() const;

  UINT m_nTemplateId;
  CWnd* m_pParent;

 private:
  void AddInitialListItems();

  std::unique_ptr<Impl> m_impl;
};

}  // namespace fw
