// CNotifyMailThread: the module's delivery worker. A thread with its own message loop, a
// hidden window for host-name lookups and a one-second timer; it keeps the pending and active
// mail jobs, starts pending jobs at each tick and deletes the finished, failed and expired ones.
#pragma once

#include "framework/thread.h"

class CNotifyConfig;

class CNotifyMailThread : public fw::CWinThread {
 public:
  // Starts the worker thread and returns once it runs its loop (IsRunning) or has failed.
  CNotifyMailThread();
  ~CNotifyMailThread() override;

  bool IsRunning() const;
  // Host thread: queues a job for the next tick. The job copies what it needs and owns the
  // two journal files from now on.
  bool AddMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile, int nLogLineCount);
  // True when no job is pending or active.
  bool CanUnload();
  // Ends the worker thread and returns once the worker object has been destroyed.
  void Stop();
};
