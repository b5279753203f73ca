// CNotifyAddOnApp: the module's application object. It works out the module's paths, keeps
// the registry of live sessions by host session handle, creates the delivery worker when the
// first mail job arrives, and tears everything down when the module is unloaded.
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

  // Hands a mail job to the delivery worker, creating the worker on first use. The job takes
  // the two journal files; when it cannot be queued, they are deleted.
  virtual bool QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                         int nLogLineCount);
  void SetMailThread(CNotifyMailThread* p) { m_pMailThread = p; }
  // A new, running delivery worker, or null when none could be created or started.
  virtual CNotifyMailThread* CreateMailThread();
  // True when no worker exists or the worker has no pending and no active job.
  bool CanUnload() const;

  std::unordered_map<void*, std::unique_ptr<CNotifySession>> m_mapSessions;  // null entries: failed creations
  std::string m_strModulePath;
  std::string m_strModuleName;
  std::string m_strModuleDir;
  std::string m_strDataDir;
  CNotifyMailThread* m_pMailThread = nullptr;

 private:
  // Stops the worker, if any, and forgets it.
  void StopMailThread();
};

// Creates the directory pszPath and every missing directory above it. Returns whether the
// last directory was created.
bool CreateDirectoryPath(const char* pszPath);
