// CNotifyMailThread: the module's delivery worker. A thread with its own message loop, a
// hidden window for host-name lookups and a one-second timer; it keeps the pending and active
// mail jobs, starts pending jobs at each tick and deletes the finished, failed and expired ones.
// The object deletes itself when its thread ends.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/sync.h"
#include "framework/thread.h"
#include "mail/QBNotifySocket.h"

class CNotifyConfig;
class CNotifySmtpClient;
class CNotifySocketWnd;

class CNotifyMailThread : public fw::CWinThread, public CSocketWndOwner {
 public:
  static constexpr fw::UINT kTickMs = 1000;
  // Posted to the worker thread: wParam is the id of a job to cancel.
  static constexpr fw::UINT kWmCancelJob = fw::kWmUser + 1;

  // Starts the worker thread and returns once it runs its loop (IsRunning) or has failed; a
  // worker that failed never deletes itself.
  CNotifyMailThread();
  ~CNotifyMailThread() override;

  bool IsRunning() const { return m_bRunning; }
  // Host thread: queues a job for the next tick. The job copies what it needs and owns the
  // two journal files from now on.
  bool AddMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile, int nLogLineCount);
  // Queues a job that was built by the caller.
  void AddJob(std::unique_ptr<CNotifySmtpClient> pJob);
  // Any thread: asks the worker to end the job with `jobId` at once (CNotifySmtpClient::
  // Cancel). False when the worker takes no messages any more.
  bool CancelJob(std::uint32_t jobId);
  // True when no job is pending or active.
  bool CanUnload();
  // Ends the worker thread and returns once the worker object has been destroyed. Returns at
  // once when the thread takes no messages any more, or when the process is ending.
  void Stop();

  CNotifySocketWnd* GetSocketWnd() const override { return m_pSocketWnd; }
  void DeleteSocketWnd() override;

 protected:
  bool InitInstance() override;
  int ExitInstance() override;
  void OnThreadMessage(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override;
  // The tick: starts every pending job, then deletes the expired and finished ones.
  void OnTimer(fw::WPARAM wParam, fw::LPARAM lParam);

 private:
  using JobList = std::vector<std::unique_ptr<CNotifySmtpClient>>;
  void RemoveAllJobs(JobList& jobs);

  std::shared_ptr<fw::CEvent> m_pStopEvent;  // set by Stop before it posts the quit message
  fw::CCriticalSection m_csQueue;            // guards both job lists
  fw::UINT_PTR m_nTimerId = 0;
  JobList m_arrActive;
  JobList m_arrPending;
  CNotifySocketWnd* m_pSocketWnd = nullptr;  // worker thread only
  bool m_bRunning = false;
};
