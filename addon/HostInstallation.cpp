// Installation into the host and removal from it (see HostInstallation.h).
#include "addon/HostInstallation.h"

#include <charconv>

#include "addon/NotifyAddOnApp.h"
#include "framework/message_box.h"
#include "framework/registry.h"
#include "framework/shell.h"
#include "framework/wnd.h"
#include "resource.h"
#include "settings/NotifyConfig.h"
#include "settings/QBNotifyConfigureDlg.h"

namespace {

constexpr const char* kHostUninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\FTP Quorbit_is1";
constexpr const char* kValueAppPath = "Inno Setup: App Path";
constexpr const char* kValueDisplayName = "DisplayName";
constexpr const char* kHostProgram = "FTPQuorbit.exe";
constexpr const char* kInstallSwitch = "-installaddon ";
constexpr const char* kUninstallSwitch = "-uninstalladdon ";

struct HostEntry {
  std::string strDir;  // the installation directory; empty when the host is not installed
  bool bSupported;     // the version allows the add-on
};

HostEntry ReadHostEntry(const CNotifyAddOnApp& app) {
  HostEntry entry;
  entry.strDir = app.ReadRegString(fw::HKeyLocalMachine(), kHostUninstallKey, kValueAppPath, "");
  entry.bSupported = IsSupportedHostVersion(
      HostVersionText(app.ReadRegString(fw::HKeyLocalMachine(), kHostUninstallKey, kValueDisplayName, "")));
  return entry;
}

// Starts the host's executable of `strDir` with `strParameters`; true when it started.
bool StartHost(const std::string& strDir, const std::string& strParameters) {
  const std::string strProgram = strDir + fw::kPathSeparator + kHostProgram;
  return fw::ShellExecute("open", strProgram.c_str(), strParameters.c_str(), strDir.c_str(), fw::kSwShow) >
         fw::kShellExecuteFailureLimit;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string HostVersionText(const std::string& strDisplayName) {
  const std::size_t blank = strDisplayName.rfind(' ');
  return blank == std::string::npos ? strDisplayName : strDisplayName.substr(blank + 1);
}

bool IsSupportedHostVersion(const std::string& strVersion) {
  if (strVersion.empty()) return false;
  const char* begin = strVersion.data();
  const char* end = begin + strVersion.size();
  while (begin != end && IsBlank(*begin)) ++begin;
  if (begin != end && *begin == '+') ++begin;  // from_chars takes a minus sign only
  double version = 0.0;
  if (std::from_chars(begin, end, version).ec != std::errc()) version = 0.0;
  return version >= kMinimumHostVersion;
}

void InstallIntoHost(const char* pszAddOnDir) {
  const CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
  if (!app) return;
  CNotifyConfig config;
  config.Load();
  if (config.IsComplete()) return;

  CQBNotifyConfigureDlg dialog(nullptr, true, nullptr);
  if (dialog.DoModal() != fw::kIdOk) return;

  const HostEntry host = ReadHostEntry(*app);
  if (host.strDir.empty()) {
    fw::AfxMessageBox(IDS_ERR_HOST_NOT_FOUND, fw::kMbIconExclamation);
    return;
  }
  if (!host.bSupported) {
    fw::AfxMessageBox(IDS_ERR_HOST_VERSION, fw::kMbIconExclamation);
    return;
  }
  // Without a directory the module's own is meant (its path without the trailing separator).
  const std::string strAddOnDir =
      pszAddOnDir ? std::string(pszAddOnDir) : app->m_strModuleDir.substr(0, app->m_strModuleDir.size() - 1);
  if (!StartHost(host.strDir, kInstallSwitch + strAddOnDir + fw::kPathSeparator + app->m_strModuleName)) {
    fw::AfxMessageBox(IDS_ERR_INSTALL, fw::kMbIconExclamation);
  }
}

void UninstallFromHost() {
  const CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
  if (!app) return;
  const HostEntry host = ReadHostEntry(*app);
  if (host.strDir.empty() || !host.bSupported) return;
  if (!StartHost(host.strDir, kUninstallSwitch + app->m_strModulePath)) {
    fw::AfxMessageBox(IDS_ERR_UNINSTALL, fw::kMbIconExclamation);
  }
}
