// CNotifyMailThread: the module's delivery worker. A thread with its own message loop, a
// hidden window for host-name lookups and a one-second timer; it keeps the pending and active
// mail jobs, starts pending jobs at each tick and deletes the finished, failed and expired ones.
//
// Its owner (the application object) deletes it once its thread has ended: after Stop, or
// after the thread ended by itself when it ran out of work (IdlePolicy::kEnd). The jobs, their
// sockets and the hidden window belong to the worker's thread and end on it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
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

  // kEnd: the thread ends at the first tick that finds no job pending or active, and the
  // worker takes no job after that (a new worker takes the next one).
  enum class IdlePolicy { kKeepRunning, kEnd };

  // Starts the worker thread and returns once it runs its loop (IsRunning) or has failed.
  explicit CNotifyMailThread(IdlePolicy idle = IdlePolicy::kKeepRunning);
  // Only once the thread has ended (Stop) or never ran.
  ~CNotifyMailThread() override;

  bool IsRunning() const { return m_bRunning; }
  // Host thread: queues a job for the next tick. The job copies what it needs and owns the
  // two journal files from now on. False when the worker takes no more jobs (it has ended or
  // is ending): then no job was made and the files are still the caller's.
  bool AddMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile, int nLogLineCount);
  // Queues a job that was built by the caller; a worker that takes no more jobs drops it and
  // returns false.
  bool AddJob(std::unique_ptr<CNotifySmtpClient> pJob);
  // Any thread: asks the worker to end the job with `jobId` at once (CNotifySmtpClient::
  // Cancel). False when the worker takes no messages any more.
  bool CancelJob(std::uint32_t jobId);
  // True when no job is pending or active.
  bool CanUnload();
  // True once the worker takes no more jobs.
  bool IsClosed();
  // Ends the worker thread and returns once it has ended: the jobs still pending or active
  // are dropped on it, unsent, with their journal files. Returns at once when the process is
  // ending (nothing of the worker may be touched then) and where ThreadEnd::Wait does.
  void Stop();
  // At the process's end, when the system has ended the worker's thread wherever it was:
  // deletes the journal files of the jobs that AddMail queued and that still exist, without
  // touching the jobs (a host may unload the module while deliveries run and then end).
  void DeleteJournalFilesAtProcessEnd() { m_jobFiles.DeleteAll(); }

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

  // The journal files of the jobs that AddMail made, by job, until the job is gone. Its lock is
  // held for a few instructions only and never while waiting, so that the process's end,
  // which may find it taken by an ended thread, can give up instead of waiting.
  class JobFiles {
   public:
    void Add(const CNotifySmtpClient* pJob, const char* pszInfoFile, const char* pszLogFile);
    void Remove(const CNotifySmtpClient* pJob);
    void DeleteAll();

   private:
    std::atomic_flag m_busy = ATOMIC_FLAG_INIT;
    std::unordered_map<const CNotifySmtpClient*, std::array<std::string, 2>> m_files;
  };

  // Deletes the jobs of one list (with their journal files) and empties it.
  void RemoveAllJobs(JobList& jobs);
  // Under the queue lock: closes the worker when it has run out of work and should end then.
  bool CloseIfIdle();

  fw::CCriticalSection m_csQueue;  // guards both job lists and the two fields below them
  fw::UINT_PTR m_nTimerId = 0;
  JobList m_arrActive;
  JobList m_arrPending;
  int m_nAdding = 0;       // jobs being made by AddMail: the worker does not close meanwhile
  bool m_bClosed = false;  // takes no more jobs
  const IdlePolicy m_idlePolicy;
  JobFiles m_jobFiles;
  CNotifySocketWnd* m_pSocketWnd = nullptr;  // worker thread only
  bool m_bRunning = false;
};
