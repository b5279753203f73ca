// CNotifySocketWnd: the worker's hidden window. It receives the completions of asynchronous
// host-name lookups (WM_HOSTLOOKUP_DONE) and routes each to the socket that started it. It is
// a modeless dialog from template 9 that is never shown; Enter and Escape do not close it.
#pragma once

#include <unordered_map>

#include "framework/types.h"
#include "framework/wnd.h"

class CQBNotifySocket;
class CSocketWndOwner;

// wParam: the lookup handle; lParam: (error << 16) | needed buffer length.
inline constexpr fw::UINT WM_HOSTLOOKUP_DONE = fw::kWmUser + 100;

class CNotifySocketWnd : public fw::CDialog {
 public:
  // Creates the hidden window on the calling thread. pOwner (may be null) is told when the
  // window is destroyed.
  CNotifySocketWnd(CSocketWndOwner* pOwner, fw::CWnd* pParent);
  ~CNotifySocketWnd() override;

  bool OnInitDialog() override;
  void OnOK() override {}
  void OnCancel() override {}

  void AddLookup(fw::HANDLE hLookup, CQBNotifySocket* pSocket);
  void RemoveLookup(fw::HANDLE hLookup);
  bool HasLookup(fw::HANDLE hLookup) const { return m_mapLookups.count(hLookup) != 0; }

  // Frees the object: at once, or, while the window is being destroyed, once its last
  // message has been handled.
  void Release();

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override;
  void PostNcDestroy() override;
  fw::LRESULT OnHostLookupDone(fw::WPARAM wParam, fw::LPARAM lParam);

 private:
  static constexpr std::size_t kLookupBuckets = 2311;

  CSocketWndOwner* m_pOwner;
  std::unordered_map<fw::HANDLE, CQBNotifySocket*> m_mapLookups;
  bool m_bInDestroy = false;
  bool m_bDeleteOnNcDestroy = false;
};
