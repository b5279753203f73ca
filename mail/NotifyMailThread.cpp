// The delivery worker: its thread's start-up and end, the job queue, the tick and Stop.
#include "mail/NotifyMailThread.h"

#include <new>
#include <thread>
#include <utility>

#include "framework/app.h"
#include "framework/filesystem.h"
#include "mail/NotifySmtpClient.h"
#include "mail/NotifySocketWnd.h"

CNotifyMailThread::CNotifyMailThread(IdlePolicy idle) : m_idlePolicy(idle) {
  m_bAutoDelete = false;  // the owner deletes the worker once its thread has ended
  m_bRunning = CreateThread();
}

CNotifyMailThread::~CNotifyMailThread() {
  // Left only when the thread never ran: such jobs never started and hold no socket.
  RemoveAllJobs(m_arrPending);
  RemoveAllJobs(m_arrActive);
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
  {
    fw::CSingleLock lock(m_csQueue);
    m_bClosed = true;
  }
  // Jobs still here go unsent, with their files; their sockets and the window end on their
  // own thread. The window's destruction from here does not reach DeleteSocketWnd.
  RemoveAllJobs(m_arrPending);
  RemoveAllJobs(m_arrActive);
  delete std::exchange(m_pSocketWnd, nullptr);
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
  {
    fw::CSingleLock lock(m_csQueue);
    if (m_bClosed) return false;
    ++m_nAdding;  // keeps an idle worker from closing while the job is made
  }
  std::unique_ptr<CNotifySmtpClient> pJob;
  try {
    pJob = std::make_unique<CNotifySmtpClient>(this, pConfig, pszInfoFile, pszLogFile, nLogLineCount);
  } catch (...) {
    fw::CSingleLock lock(m_csQueue);
    --m_nAdding;
    throw;
  }
  m_jobFiles.Add(pJob.get(), pszInfoFile, pszLogFile);
  fw::CSingleLock lock(m_csQueue);
  --m_nAdding;
  // Closed only by a stop meanwhile (an idle worker waits for m_nAdding): the job goes as the
  // stop's own would, with its files.
  if (!m_bClosed) {
    m_arrPending.push_back(std::move(pJob));
  } else {
    const CNotifySmtpClient* pGone = pJob.get();
    pJob.reset();
    m_jobFiles.Remove(pGone);
  }
  return true;
}

bool CNotifyMailThread::AddJob(std::unique_ptr<CNotifySmtpClient> pJob) {
  if (!pJob) return false;
  fw::CSingleLock lock(m_csQueue);
  if (m_bClosed) return false;
  m_arrPending.push_back(std::move(pJob));
  return true;
}

bool CNotifyMailThread::CancelJob(std::uint32_t jobId) {
  return PostThreadMessage(kWmCancelJob, static_cast<fw::WPARAM>(jobId), 0);
}

bool CNotifyMailThread::CanUnload() {
  fw::CSingleLock lock(m_csQueue);
  return m_arrActive.empty() && m_arrPending.empty() && m_nAdding == 0;
}

bool CNotifyMailThread::IsClosed() {
  fw::CSingleLock lock(m_csQueue);
  return m_bClosed;
}

bool CNotifyMailThread::CloseIfIdle() {
  if (m_idlePolicy != IdlePolicy::kEnd || m_bClosed) return false;
  if (!m_arrActive.empty() || !m_arrPending.empty() || m_nAdding != 0) return false;
  m_bClosed = true;
  return true;
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
    CNotifySmtpClient* pJob = m_arrActive[i].get();
    if (pJob->IsExpired() || pJob->IsFinished()) {
      m_arrActive.erase(m_arrActive.begin() + static_cast<std::ptrdiff_t>(i));
      m_jobFiles.Remove(pJob);  // after its deletion deleted the files
    } else {
      ++i;
    }
  }
  // Out of work: the thread ends, and with it the worker's hold on the module.
  if (CloseIfIdle()) PostThreadMessage(fw::kWmQuit, 0, 0);
}

void CNotifyMailThread::RemoveAllJobs(JobList& jobs) {
  fw::CSingleLock lock(m_csQueue);
  for (std::unique_ptr<CNotifySmtpClient>& pJob : jobs) {
    const CNotifySmtpClient* pGone = pJob.get();
    pJob.reset();
    m_jobFiles.Remove(pGone);
  }
  jobs.clear();
}

void CNotifyMailThread::JobFiles::Add(const CNotifySmtpClient* pJob, const char* pszInfoFile, const char* pszLogFile) {
  std::array<std::string, 2> files{pszInfoFile ? pszInfoFile : "", pszLogFile ? pszLogFile : ""};
  while (m_busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  try {
    m_files[pJob] = std::move(files);
  } catch (...) {
    // Out of memory: only the clean-up at the process's end misses these files.
  }
  m_busy.clear(std::memory_order_release);
}

void CNotifyMailThread::JobFiles::Remove(const CNotifySmtpClient* pJob) {
  while (m_busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  m_files.erase(pJob);
  m_busy.clear(std::memory_order_release);
}

void CNotifyMailThread::JobFiles::DeleteAll() {
  if (m_busy.test_and_set(std::memory_order_acquire)) return;  // held by a thread the system ended
  for (const auto& [pJob, files] : m_files) {
    for (const std::string& file : files) {
      if (!file.empty()) fw::DeleteFile(file);
    }
  }
  m_busy.clear(std::memory_order_release);
}

void CNotifyMailThread::DeleteSocketWnd() {
  if (CNotifySocketWnd* pWnd = std::exchange(m_pSocketWnd, nullptr)) pWnd->Release();
}

void CNotifyMailThread::Stop() {
  // At process exit the system has ended the thread at an arbitrary point: nothing to wait for.
  if (fw::ProcessTerminating()) return;
  SetPriorityAboveNormal();
  PostThreadMessage(fw::kWmQuit, 0, 0);  // fails when the loop has ended already
  GetThreadEnd().Wait();
}
