// The delivery worker: its thread's start-up and end, the job queue, the tick and Stop.
#include "mail/NotifyMailThread.h"

#include <new>
#include <utility>

#include "addon/NotifyAddOnApp.h"
#include "framework/app.h"
#include "mail/NotifySmtpClient.h"
#include "mail/NotifySocketWnd.h"

CNotifyMailThread::CNotifyMailThread() {
  m_bRunning = CreateThread();
}

CNotifyMailThread::~CNotifyMailThread() {
  if (CNotifyAddOnApp* pApp = CNotifyAddOnApp::Get(); pApp != nullptr && pApp->m_pMailThread == this) {
    pApp->SetMailThread(nullptr);
  }
  RemoveAllJobs(m_arrPending);
  RemoveAllJobs(m_arrActive);
  // The window's destruction from here does not reach DeleteSocketWnd.
  delete std::exchange(m_pSocketWnd, nullptr);
  if (std::shared_ptr<fw::CEvent> pStopEvent = std::move(m_pStopEvent)) pStopEvent->SetEvent();
}

bool CNotifyMailThread::InitInstance() {
  auto* pWnd = new (std::nothrow) CNotifySocketWnd(this, nullptr);
  if (pWnd != nullptr && pWnd->GetSafeHwnd() == nullptr) {
    delete pWnd;  // no window: names are then resolved by a blocking lookup
    pWnd = nullptr;
  }
  m_pSocketWnd = pWnd;
  m_nTimerId = SetTimer(kTickMs);
  if (m_nTimerId == 0) {
    // Without ticks no job would ever start or end.
    delete std::exchange(m_pSocketWnd, nullptr);
    return false;
  }
  return true;
}

int CNotifyMailThread::ExitInstance() {
  if (m_nTimerId != 0) KillTimer(m_nTimerId);
  m_nTimerId = 0;
  return CWinThread::ExitInstance();
}

void CNotifyMailThread::OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) {
  if (message == fw::kWmTimer) {
    OnTimer(wParam, lParam);
    return;
  }
  if (message == kWmCancelJob) {
    fw::CSingleLock lock(m_csQueue);
    for (JobList* jobs : {&m_arrPending, &m_arrActive}) {
      for (auto& pJob : *jobs) {
        if (pJob->GetJobId() == static_cast<std::uint32_t>(wParam)) pJob->Cancel();
      }
    }
    return;
  }
  CWinThread::OnThreadMessage(message, wParam, lParam);
}

bool CNotifyMailThread::AddMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                                int nLogLineCount) {
  AddJob(std::make_unique<CNotifySmtpClient>(this, pConfig, pszInfoFile, pszLogFile, nLogLineCount));
  return true;
}

void CNotifyMailThread::AddJob(std::unique_ptr<CNotifySmtpClient> pJob) {
  if (!pJob) return;
  fw::CSingleLock lock(m_csQueue);
  m_arrPending.push_back(std::move(pJob));
}

bool CNotifyMailThread::CancelJob(std::uint32_t jobId) {
  return PostThreadMessage(kWmCancelJob, static_cast<fw::WPARAM>(jobId), 0);
}

bool CNotifyMailThread::CanUnload() {
  fw::CSingleLock lock(m_csQueue);
  return m_arrActive.empty() && m_arrPending.empty();
}

void CNotifyMailThread::OnTimer(fw::WPARAM /*wParam*/, fw::LPARAM /*lParam*/) {
  fw::CSingleLock lock(m_csQueue);
  try {
    // Start phase: every job queued before this tick, in queue order.
    JobList pending = std::exchange(m_arrPending, {});
    m_arrActive.reserve(m_arrActive.size() + pending.size());
    for (auto& pJob : pending) {
      m_arrActive.push_back(std::move(pJob));
      m_arrActive.back()->Start();
    }
  } catch (const std::exception&) {
    // Out of memory: the jobs not moved are dropped with their journal files.
  }
  // Reap phase: a job that failed to start goes in the same tick.
  for (std::size_t i = 0; i < m_arrActive.size();) {
    CNotifySmtpClient& job = *m_arrActive[i];
    if (job.IsExpired() || job.IsFinished()) {
      m_arrActive.erase(m_arrActive.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void CNotifyMailThread::RemoveAllJobs(JobList& jobs) {
  fw::CSingleLock lock(m_csQueue);
  jobs.clear();
}

void CNotifyMailThread::DeleteSocketWnd() {
  if (CNotifySocketWnd* pWnd = std::exchange(m_pSocketWnd, nullptr)) pWnd->Release();
}

void CNotifyMailThread::Stop() {
  // At process exit the system has ended the worker thread already: nothing to wait for.
  if (fw::ProcessTerminating()) return;

  const fw::ThreadEnd threadEnd = GetThreadEnd();
  auto pStopEvent = std::make_shared<fw::CEvent>(false, true);
  SetPriorityAboveNormal();
  m_pStopEvent = pStopEvent;
  if (!PostThreadMessage(fw::kWmQuit, 0, 0)) {
    m_pStopEvent.reset();
    return;
  }
  // From here `this` may be gone: only locals are used.
  pStopEvent->Lock();
  threadEnd.Wait();
}
