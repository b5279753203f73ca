// CNotifyAddOnApp: the module's application object. It works out the module's paths, keeps
// the registry of live sessions by host session handle, creates the delivery worker when a
// mail job arrives and none runs, and tears everything down when the module is unloaded.
//
// Unloading: the worker ends by itself at the first tick without work, and CanUnload ends an
// idle worker completely before it answers true, so that the unload that follows has nothing
// to wait for. An unload without asking, while jobs run: on Windows the worker's thread holds
// the module loaded (fw::CWinThread), so the jobs finish and the module goes when the worker
// ends, and the module's detach never waits for a thread that could need the loader lock;
// elsewhere the unload stops the worker, whose jobs are dropped with their journal files.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "framework/app.h"
#include "settings/NotifyRegistry.h"

class CNotifyConfig;
class CNotifySession;
class CNotifyMailThread;

class CNotifyAddOnApp : public fw::CWinApp, public CNotifyRegistry {
 public:
  CNotifyAddOnApp();
  ~CNotifyAddOnApp() override;

  bool InitInstance() override;
  int ExitInstance() override;

  // The module's application object (AfxGetApp()), or null.
  static CNotifyAddOnApp* Get();

  // Registers a new session under hSession; null when the handle is taken or the session
  // could not be created (a null entry is then stored).
  CNotifySession* CreateSession(void* hSession, const char* pszProfile);
  // The live session of hSession, or null.
  CNotifySession* FindSession(void* hSession) const;
  // Ends the session of hSession (which may queue its mail), deletes and unregisters it.
  void DestroySession(void* hSession);
  // Deletes every session without sending mail.
  void DestroyAllSessions();
  // Reloads the settings of the sessions of pszProfile (every session when it is empty).
  void ReloadSessions(const char* pszProfile);

  // Hands a mail job to the delivery worker, creating a worker when none takes jobs. The job
  // takes the two journal files; when it cannot be queued, they are deleted.
  virtual bool QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                         int nLogLineCount);
  // A new, running delivery worker, or null when none could be created or started.
  virtual CNotifyMailThread* CreateMailThread();
  // The worker that takes jobs now: the current one, or a new one when there is none or the
  // current one ran out of work and closed (it is ended and deleted). Null when none starts.
  CNotifyMailThread* OpenMailThread();
  // True when no worker exists or the worker has no pending and no active job; an idle worker
  // has then been ended and deleted (a later mail starts a new one).
  bool CanUnload();

  std::unordered_map<void*, std::unique_ptr<CNotifySession>> m_mapSessions;  // null entries: failed creations
  std::string m_strModulePath;
  std::string m_strModuleName;
  std::string m_strModuleDir;
  std::string m_strDataDir;
  CNotifyMailThread* m_pMailThread = nullptr;  // owned; deleted once its thread has ended

 private:
  // Stops the worker, if any, waits for its thread's end and deletes it.
  void StopMailThread();
};

// Creates the directory pszPath and every missing directory above it. Returns whether the
// last directory was created.
bool CreateDirectoryPath(const char* pszPath);
