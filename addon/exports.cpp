// The exported entry points. Each runs its body inside Guarded, so that no exception reaches
// the host, and forwards to the application object, the session, the configuration dialog or
// the installation into the host.
#include "addon/exports.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "addon/HostInstallation.h"
#include "addon/NotifyAddOnApp.h"
#include "addon/export_guard.h"
#include "framework/strings.h"
#include "journal/NotifySession.h"
#include "resource.h"
#include "settings/NotifyConfig.h"
#include "settings/QBNotifyConfigureDlg.h"

namespace {

// Runs `handler` on the live session of hSession; an unknown handle or a null entry is ignored.
template <typename Handler>
void WithSession(void* hSession, Handler&& handler) noexcept {
  Guarded([&] {
    CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
    if (!app) return;
    if (CNotifySession* session = app->FindSession(hSession)) handler(*session);
  });
}

const char* OrEmpty(const char* text) {
  return text ? text : "";
}

// The key of a profile's settings, or empty when the registry would resolve it to the global
// configuration's key or to a key above it: whatever its spelling, a profile name never
// reaches the global configuration.
std::string ProfileKey(const char* pszProfile) {
  if (!pszProfile || *pszProfile == '\0') return std::string();
  const CNotifyConfig config(pszProfile);
  std::string key = config.GetRegistryKey(false);
  if (fw::RegPathContains(key, config.GetRegistryKey(true))) return std::string();
  return key;
}

}  // namespace

QB_EXPORT void QB_STDCALL QBAddOnName(char* pszBuffer, int nBufferSize) {
  if (!pszBuffer || nBufferSize <= 0) return;
  Guarded([&] {
    const std::string name = fw::LoadString(IDS_ADDON_NAME);
    const std::size_t size = static_cast<std::size_t>(nBufferSize);
    std::memset(pszBuffer, 0, size);
    std::copy_n(name.data(), std::min(name.size(), size - 1), pszBuffer);
  });
}

// 1 when no delivery is under way. An idle delivery worker has then ended, so the unload that
// follows waits for nothing.
QB_EXPORT int QB_STDCALL QBAddOnCanUnload() {
  int bCanUnload = 0;  // when in doubt, the module stays loaded
  Guarded([&] {
    CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
    bCanUnload = !app || app->CanUnload() ? 1 : 0;
  });
  return bCanUnload;
}

QB_EXPORT void QB_STDCALL QBAddOnProfileNameChange(const char* pszOldProfile, const char* pszNewProfile) {
  Guarded([&] {
    CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
    const std::string oldKey = ProfileKey(pszOldProfile);
    const std::string newKey = ProfileKey(pszNewProfile);
    if (!app || oldKey.empty() || newKey.empty()) return;
    app->MoveRegistryKey(oldKey.c_str(), newKey.c_str());
  });
}

QB_EXPORT void QB_STDCALL QBAddOnProfileDeleted(const char* pszProfile) {
  Guarded([&] {
    const std::string key = ProfileKey(pszProfile);
    if (!key.empty()) fw::RegDeleteKey(fw::HKeyUsers(), key.c_str());
  });
}

QB_EXPORT void QB_STDCALL QBAddOnSessionCreate(void* hSession, const char* pszProfile) {
  Guarded([&] {
    if (CNotifyAddOnApp* app = CNotifyAddOnApp::Get()) app->CreateSession(hSession, OrEmpty(pszProfile));
  });
}

QB_EXPORT void QB_STDCALL QBAddOnSessionDestroy(void* hSession) {
  Guarded([&] {
    if (CNotifyAddOnApp* app = CNotifyAddOnApp::Get()) app->DestroySession(hSession);
  });
}

QB_EXPORT void QB_STDCALL QBAddOnConnectionStart(void* hSession, unsigned nResult, const char* pszHost) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnConnectionStart(nResult, pszHost); });
}

QB_EXPORT void QB_STDCALL QBAddOnFileDownloaded(void* hSession, unsigned nResult, const char* pszSource,
                                                const char* pszTarget) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnFileDownloaded(nResult, pszSource, pszTarget); });
}

QB_EXPORT void QB_STDCALL QBAddOnFileUploaded(void* hSession, unsigned nResult, const char* pszSource,
                                              const char* pszTarget) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnFileUploaded(nResult, pszSource, pszTarget); });
}

QB_EXPORT void QB_STDCALL QBAddOnFileDeleted(void* hSession, unsigned nResult, const char* pszPath) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnFileDeleted(nResult, pszPath); });
}

QB_EXPORT void QB_STDCALL QBAddOnFileRenamed(void* hSession, unsigned nResult, const char* pszOldName,
                                             const char* pszNewName) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnFileRenamed(nResult, pszOldName, pszNewName); });
}

QB_EXPORT void QB_STDCALL QBAddOnDirCreated(void* hSession, unsigned nResult, const char* pszPath) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnDirCreated(nResult, pszPath); });
}

QB_EXPORT void QB_STDCALL QBAddOnDirDeleted(void* hSession, unsigned nResult, const char* pszPath) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnDirDeleted(nResult, pszPath); });
}

QB_EXPORT void QB_STDCALL QBAddOnConnectionEnd(void* hSession, unsigned nResult) {
  WithSession(hSession, [&](CNotifySession& session) { session.OnConnectionEnd(nResult); });
}

QB_EXPORT void QB_STDCALL QBAddOnLogCommand(void* hSession, const char* pszLine) {
  WithSession(hSession, [&](CNotifySession& session) { session.LogCommand(pszLine); });
}

QB_EXPORT void QB_STDCALL QBAddOnLogResponse(void* hSession, const char* pszLine) {
  WithSession(hSession, [&](CNotifySession& session) { session.LogResponse(pszLine); });
}

QB_EXPORT void QB_STDCALL QBAddOnLogStatus(void* hSession, const char* pszLine, int bError) {
  WithSession(hSession, [&](CNotifySession& session) { session.LogStatus(pszLine, bError != 0); });
}

QB_EXPORT void QB_STDCALL QBAddOnConfigure(const char* pszProfile) {
  Guarded([&] {
    CQBNotifyConfigureDlg dialog(pszProfile, false, nullptr);
    dialog.DoModal();
  });
}

QB_EXPORT void QB_STDCALL QBAddOnInstall(const char* pszAddOnDir) {
  Guarded([&] { InstallIntoHost(pszAddOnDir); });
}

QB_EXPORT int QB_STDCALL QBAddOnUninstall(unsigned /*nUnused1*/, unsigned /*nUnused2*/) {
  Guarded([] { UninstallFromHost(); });
  return 0;
}
