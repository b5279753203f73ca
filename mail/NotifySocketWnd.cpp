// The hidden window that routes host-name lookup completions to their sockets.
#include "mail/NotifySocketWnd.h"

#include "mail/QBNotifySocket.h"
#include "resource.h"

CNotifySocketWnd::CNotifySocketWnd(CSocketWndOwner* pOwner, fw::CWnd* pParent)
    : fw::CDialog(IDD_QBNOTIFY_CONFIGURE, pParent), m_pOwner(pOwner) {
  m_mapLookups.rehash(kLookupBuckets);
  Create();
}

CNotifySocketWnd::~CNotifySocketWnd() {
  // Destroyed by its owner: no call back, and no second deletion from PostNcDestroy.
  m_pOwner = nullptr;
  m_bDeleteOnNcDestroy = false;
  if (GetSafeHwnd() != nullptr) DestroyWindow();
}

bool CNotifySocketWnd::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  ShowWindow(fw::kSwHide);
  return true;
}

void CNotifySocketWnd::AddLookup(fw::HANDLE hLookup, CQBNotifySocket* pSocket) {
  m_mapLookups[hLookup] = pSocket;
}

void CNotifySocketWnd::RemoveLookup(fw::HANDLE hLookup) {
  m_mapLookups.erase(hLookup);
}

void CNotifySocketWnd::Release() {
  if (m_bInDestroy) {
    m_bDeleteOnNcDestroy = true;
  } else {
    delete this;
  }
}

fw::LRESULT CNotifySocketWnd::WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) {
  if (message == WM_HOSTLOOKUP_DONE) return OnHostLookupDone(wParam, lParam);
  if (message == fw::kWmClose) {
    // The object may be gone when DestroyWindow returns: nothing of it is touched after.
    DestroyWindow();
    return 0;
  }
  if (message == fw::kWmDestroy) {
    m_bInDestroy = true;
    const fw::LRESULT result = fw::CDialog::WindowProc(message, wParam, lParam);
    if (m_pOwner != nullptr) m_pOwner->DeleteSocketWnd();
    return result;
  }
  return fw::CDialog::WindowProc(message, wParam, lParam);
}

void CNotifySocketWnd::PostNcDestroy() {
  if (m_bDeleteOnNcDestroy) delete this;
}

fw::LRESULT CNotifySocketWnd::OnHostLookupDone(fw::WPARAM wParam, fw::LPARAM lParam) {
  const auto hLookup = reinterpret_cast<fw::HANDLE>(wParam);
  const auto it = m_mapLookups.find(hLookup);
  if (it != m_mapLookups.end()) {
    it->second->OnLookupComplete(fw::HiWord(static_cast<std::uintptr_t>(lParam)), lParam);
  }
  m_mapLookups.erase(hLookup);
  return 1;
}
