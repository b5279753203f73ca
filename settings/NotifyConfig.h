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
  // Writes the seven values to the record's key and reloads the live sessions concerned.
  // Returns whether every value was written.
  bool Save() const;
  // Server given, port 1..65535, recipient and sender given.
  bool IsComplete() const;

  std::string m_strProfile;
  std::string m_strSmtpServer;
  int m_nSmtpPort = 25;
  std::string m_strDeliverTo;
  std::string m_strFromEmail;
  int m_nLogLines = 100;
  int m_nNotifyWhen = 0;  // 0 = on error, 1 = always
  std::string m_strSubject;
};
