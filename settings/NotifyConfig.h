// CNotifyConfig: the notification settings of one server profile, or of the global
// configuration, as kept in the registry below HKEY_USERS.
#pragma once

#include <string>

class CNotifyConfig {
 public:
  explicit CNotifyConfig(const char* pszProfile = nullptr);
  virtual ~CNotifyConfig() = default;
  CNotifyConfig(const CNotifyConfig&) = default;
  CNotifyConfig& operator=(const CNotifyConfig&) = default;

  // Key path below HKEY_USERS: the global configuration's when bGlobal is set or the profile
  // name is empty, else the profile's.
  std::string GetRegistryKey(bool bGlobal) const;
  // Reads the profile's key and, when it yields no SMTP server, the global key over it.
  void Load();
  // Writes the values to the record's key (the password sealed for the current user) and
  // reloads the live sessions concerned. Returns whether every value was written.
  bool Save() const;
  // Server given, port 1..65535, recipient and sender given; a known connection security; a
  // user only inside TLS and together with a password.
  bool IsComplete() const;
  // A user is given but no TLS is asked for: credentials would travel in clear.
  bool HasUserWithoutTls() const;

  std::string m_strProfile;
  std::string m_strSmtpServer;
  int m_nSmtpPort = 25;
  std::string m_strDeliverTo;
  std::string m_strFromEmail;
  int m_nLogLines = 100;
  int m_nNotifyWhen = 0;  // 0 = on error, 1 = always
  std::string m_strSubject;

  // Connection security: kSecurityNone (plain SMTP, HELO), kSecurityStartTls (STARTTLS
  // required), kSecurityTls (TLS from the first byte).
  static constexpr int kSecurityNone = 0;
  static constexpr int kSecurityStartTls = 1;
  static constexpr int kSecurityTls = 2;
  int m_nSmtpSecurity = kSecurityNone;
  std::string m_strSmtpUser;
  std::string m_strSmtpPassword;     // in clear in memory only; stored sealed
  std::string m_strSmtpCertificate;  // SHA-256 fingerprint of a server certificate to accept
  // A stored password exists but could not be opened (sealed for another user, or damaged).
  bool m_bPasswordUnreadable = false;
};
