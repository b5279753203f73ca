// CNotifyConfig: defaults, the key rule, loading with the fall-back to the global
// configuration, saving with the reload of live sessions, and the completeness check.
#include "settings/NotifyConfig.h"

#include <cstdint>

#include "addon/NotifyAddOnApp.h"
#include "framework/protected_data.h"

namespace {

constexpr const char* kGlobalSubKey = "Configurations\\QBNotifyAddOn Global Configuration";
constexpr const char* kProfilesSubKey = "Configurations\\";

constexpr const char* kValueSmtpServer = "SMTP Server";
constexpr const char* kValueSmtpPort = "SMTP Port";
constexpr const char* kValueDeliverTo = "Deliver to Email";
constexpr const char* kValueFromEmail = "From Email";
constexpr const char* kValueLogLines = "Log Lines";
constexpr const char* kValueNotifyWhen = "Notify When";
constexpr const char* kValueSubject = "Subject";
constexpr const char* kValueSmtpSecurity = "SMTP Security";
constexpr const char* kValueSmtpUser = "SMTP User";
constexpr const char* kValueSmtpPassword = "SMTP Password";
constexpr const char* kValueSmtpCertificate = "SMTP Certificate";

constexpr int kMaxPort = 65535;

// The registry operations live on the application object; without one (a program that uses
// the record on its own) a private instance serves, since they keep no state.
const CNotifyRegistry& Registry() {
  struct StandaloneRegistry : CNotifyRegistry {};
  static const StandaloneRegistry standalone;
  const CNotifyAddOnApp* app = CNotifyAddOnApp::Get();
  return app ? static_cast<const CNotifyRegistry&>(*app) : standalone;
}

void ReadString(const std::string& key, const char* name, std::string& field) {
  field = Registry().ReadRegString(fw::HKeyUsers(), key.c_str(), name, field.c_str());
}

void ReadNumber(const std::string& key, const char* name, int& field) {
  field =
      static_cast<int>(Registry().ReadRegDword(fw::HKeyUsers(), key.c_str(), name, static_cast<std::uint32_t>(field)));
}

// A missing password leaves the field as it is; one that cannot be opened empties it.
void ReadPassword(const std::string& key, std::string& field, bool& bUnreadable) {
  std::string sealed;
  if (!Registry().ReadRegBinary(fw::HKeyUsers(), key.c_str(), kValueSmtpPassword, sealed)) return;
  std::string secret;
  bUnreadable = !fw::UnprotectData(sealed, secret);
  field = std::move(secret);
}

bool WritePassword(const std::string& key, const std::string& password) {
  if (password.empty()) return Registry().DeleteRegValue(fw::HKeyUsers(), key.c_str(), kValueSmtpPassword);
  std::string sealed;
  return fw::ProtectData(password, sealed) &&
         Registry().WriteRegBinary(fw::HKeyUsers(), key.c_str(), kValueSmtpPassword, sealed);
}

}  // namespace

CNotifyConfig::CNotifyConfig(const char* pszProfile) : m_strProfile(pszProfile ? pszProfile : "") {}

std::string CNotifyConfig::GetRegistryKey(bool bGlobal) const {
  if (m_strProfile.empty() || bGlobal) return CNotifyRegistry::GetRegistryPath(kGlobalSubKey);
  return CNotifyRegistry::GetRegistryPath((kProfilesSubKey + m_strProfile).c_str());
}

void CNotifyConfig::Load() {
  for (int pass = 0; pass < 2; ++pass) {
    const std::string key = GetRegistryKey(pass == 1);
    ReadString(key, kValueSmtpServer, m_strSmtpServer);
    ReadNumber(key, kValueSmtpPort, m_nSmtpPort);
    ReadString(key, kValueDeliverTo, m_strDeliverTo);
    ReadString(key, kValueFromEmail, m_strFromEmail);
    ReadNumber(key, kValueLogLines, m_nLogLines);
    ReadNumber(key, kValueNotifyWhen, m_nNotifyWhen);
    ReadString(key, kValueSubject, m_strSubject);
    ReadNumber(key, kValueSmtpSecurity, m_nSmtpSecurity);
    ReadString(key, kValueSmtpUser, m_strSmtpUser);
    ReadPassword(key, m_strSmtpPassword, m_bPasswordUnreadable);
    ReadString(key, kValueSmtpCertificate, m_strSmtpCertificate);
    // The global key is read over the profile's only when the profile names no server.
    if (m_strProfile.empty() || !m_strSmtpServer.empty()) break;
  }
}

bool CNotifyConfig::Save() const {
  const std::string key = GetRegistryKey(false);
  const CNotifyRegistry& registry = Registry();
  const fw::HKEY root = fw::HKeyUsers();
  // Every value is attempted, in order, even after one has failed.
  bool bSaved = registry.WriteRegString(root, key.c_str(), kValueSmtpServer, m_strSmtpServer.c_str());
  bSaved &= registry.WriteRegDword(root, key.c_str(), kValueSmtpPort, static_cast<std::uint32_t>(m_nSmtpPort));
  bSaved &= registry.WriteRegString(root, key.c_str(), kValueDeliverTo, m_strDeliverTo.c_str());
  bSaved &= registry.WriteRegString(root, key.c_str(), kValueFromEmail, m_strFromEmail.c_str());
  bSaved &= registry.WriteRegDword(root, key.c_str(), kValueLogLines, static_cast<std::uint32_t>(m_nLogLines));
  bSaved &= registry.WriteRegDword(root, key.c_str(), kValueNotifyWhen, static_cast<std::uint32_t>(m_nNotifyWhen));
  bSaved &= registry.WriteRegString(root, key.c_str(), kValueSubject, m_strSubject.c_str());
  bSaved &= registry.WriteRegDword(root, key.c_str(), kValueSmtpSecurity, static_cast<std::uint32_t>(m_nSmtpSecurity));
  bSaved &= registry.WriteRegString(root, key.c_str(), kValueSmtpUser, m_strSmtpUser.c_str());
  bSaved &= WritePassword(key, m_strSmtpPassword);
  bSaved &= registry.WriteRegString(root, key.c_str(), kValueSmtpCertificate, m_strSmtpCertificate.c_str());
  if (CNotifyAddOnApp* app = CNotifyAddOnApp::Get()) app->ReloadSessions(m_strProfile.c_str());
  return bSaved;
}

bool CNotifyConfig::IsComplete() const {
  const bool bKnownSecurity = m_nSmtpSecurity >= kSecurityNone && m_nSmtpSecurity <= kSecurityTls;
  const bool bLogin = m_strSmtpUser.empty() || (!m_strSmtpPassword.empty() && !HasUserWithoutTls());
  return !m_strSmtpServer.empty() && m_nSmtpPort >= 1 && m_nSmtpPort <= kMaxPort && !m_strDeliverTo.empty() &&
         !m_strFromEmail.empty() && bKnownSecurity && bLogin;
}

bool CNotifyConfig::HasUserWithoutTls() const {
  return !m_strSmtpUser.empty() && m_nSmtpSecurity == kSecurityNone;
}
