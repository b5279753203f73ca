// CNotifyAddOnApp: module paths and data directory, the session registry, the hand-over of
// mail jobs to the delivery worker, and the module's shut-down.
#include "addon/NotifyAddOnApp.h"

#include <new>
#include <utility>

#include "framework/app.h"
#include "framework/filesystem.h"
#include "journal/NotifySession.h"
#include "mail/NotifyMailThread.h"

namespace {

constexpr std::size_t kSessionBuckets = 2311;

CNotifyAddOnApp* g_pApp = nullptr;

}  // namespace

CNotifyAddOnApp::CNotifyAddOnApp() {
  m_mapSessions.reserve(kSessionBuckets);
  g_pApp = this;
}

CNotifyAddOnApp::~CNotifyAddOnApp() {
  DestroyAllSessions();
  StopMailThread();
  if (g_pApp == this) g_pApp = nullptr;
}

CNotifyAddOnApp* CNotifyAddOnApp::Get() {
  return g_pApp;
}

bool CNotifyAddOnApp::InitInstance() {
  // The framework keeps the module path with its extension replaced; put the module's own back.
  const std::string& frameworkPath = HelpFilePath();
  if (!frameworkPath.empty()) {
    m_strModulePath = frameworkPath.substr(0, frameworkPath.rfind('.')) + fw::kModuleExtension;
    const std::size_t nameStart = m_strModulePath.rfind(fw::kPathSeparator);
    m_strModuleName = nameStart == std::string::npos ? m_strModulePath : m_strModulePath.substr(nameStart + 1);
    const std::size_t dirEnd = frameworkPath.rfind(fw::kPathSeparator);
    m_strModuleDir = dirEnd == std::string::npos ? std::string() : frameworkPath.substr(0, dirEnd + 1);
    m_strDataDir = m_strModuleDir + "Data" + fw::kPathSeparator;
    CreateDirectoryPath(m_strDataDir.c_str());
  }
  fw::CWinApp::InitInstance();
  return true;
}

int CNotifyAddOnApp::ExitInstance() {
  StopMailThread();
  return fw::CWinApp::ExitInstance();
}

void CNotifyAddOnApp::StopMailThread() {
  CNotifyMailThread* pWorker = std::exchange(m_pMailThread, nullptr);
  if (pWorker == nullptr) return;
  // At process exit the system has ended the worker's thread at an arbitrary point: its
  // object may be in any state and is left alone, but no journal file is left behind.
  if (fw::ProcessTerminating()) {
    pWorker->DeleteJournalFilesAtProcessEnd();
    return;
  }
  // Inside the module's detach on Windows the worker's thread has taken its last step already
  // (it holds the module until then), so Stop returns at once there.
  pWorker->Stop();
  delete pWorker;
}

CNotifySession* CNotifyAddOnApp::CreateSession(void* hSession, const char* pszProfile) {
  auto [entry, inserted] = m_mapSessions.try_emplace(hSession);
  if (!inserted && entry->second) return nullptr;  // the registered session stays as it is
  try {
    entry->second = std::make_unique<CNotifySession>(hSession, pszProfile);
  } catch (const std::exception&) {
    entry->second.reset();  // a null entry: events for the handle are ignored
  }
  return entry->second.get();
}

CNotifySession* CNotifyAddOnApp::FindSession(void* hSession) const {
  const auto entry = m_mapSessions.find(hSession);
  return entry == m_mapSessions.end() ? nullptr : entry->second.get();
}

void CNotifyAddOnApp::DestroySession(void* hSession) {
  if (CNotifySession* session = FindSession(hSession)) {
    try {
      session->EndSession();
    } catch (...) {
      // The session goes all the same.
    }
  }
  const auto entry = m_mapSessions.find(hSession);
  if (entry != m_mapSessions.end() && entry->second) m_mapSessions.erase(entry);
}

void CNotifyAddOnApp::DestroyAllSessions() {
  m_mapSessions.clear();
}

void CNotifyAddOnApp::ReloadSessions(const char* pszProfile) {
  for (auto& [handle, session] : m_mapSessions) {
    if (session) session->ReloadSettings(pszProfile);
  }
}

CNotifyMailThread* CNotifyAddOnApp::CreateMailThread() {
  auto worker =
      std::unique_ptr<CNotifyMailThread>(new (std::nothrow) CNotifyMailThread(CNotifyMailThread::IdlePolicy::kEnd));
  return worker && worker->IsRunning() ? worker.release() : nullptr;
}

CNotifyMailThread* CNotifyAddOnApp::OpenMailThread() {
  if (m_pMailThread && m_pMailThread->IsClosed()) StopMailThread();
  if (!m_pMailThread) m_pMailThread = CreateMailThread();
  return m_pMailThread;
}

bool CNotifyAddOnApp::QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                                int nLogLineCount) {
  bool bQueued = false;
  try {
    // A worker that ran out of work ends and takes no more jobs: a new one takes this job. The
    // second round covers a new worker that closed before the job came (a host thread held up
    // for a whole tick).
    for (int nRound = 0; nRound < 2 && !bQueued; ++nRound) {
      if (!OpenMailThread()) break;
      bQueued = m_pMailThread->AddMail(pConfig, pszInfoFile, pszLogFile, nLogLineCount);
    }
  } catch (const std::exception&) {
    bQueued = false;
  }
  if (!bQueued) {
    // Nobody took the journal files: they are not left behind.
    if (pszLogFile) fw::DeleteFile(pszLogFile);
    if (pszInfoFile) fw::DeleteFile(pszInfoFile);
  }
  return bQueued;
}

bool CNotifyAddOnApp::CanUnload() {
  if (m_pMailThread == nullptr) return true;
  if (!m_pMailThread->CanUnload()) return false;
  // Idle: end it now, outside the loader lock, so that the unload finds no worker at all.
  StopMailThread();
  return true;
}
