// The checks of the configuration dialogs, in the order in which their messages are shown.
#include "settings/SettingsChecks.h"

#include <string>

#include "framework/tls.h"
#include "resource.h"
#include "settings/NotifyConfig.h"

namespace {

// An address is taken as malformed when it has no "@" or holds a space.
bool IsMalformedAddress(const std::string& address) {
  return address.find('@') == std::string::npos || address.find(' ') != std::string::npos;
}

}  // namespace

unsigned CheckMailEntries(const CNotifyConfig& config) {
  if (config.m_strSmtpServer.empty()) return IDS_ERR_NO_SMTP_SERVER;
  if (config.m_strDeliverTo.empty()) return IDS_ERR_NO_DELIVER_TO;
  if (config.m_strFromEmail.empty()) return IDS_ERR_NO_FROM_EMAIL;
  if (IsMalformedAddress(config.m_strDeliverTo) || IsMalformedAddress(config.m_strFromEmail)) {
    return IDS_ERR_BAD_ADDRESS;
  }
  return 0;
}

unsigned CheckLoginEntries(const CNotifyConfig& config) {
  if (config.HasUserWithoutTls()) return IDS_ERR_USER_WITHOUT_TLS;
  if (!config.m_strSmtpUser.empty() && config.m_strSmtpPassword.empty()) return IDS_ERR_USER_WITHOUT_PASSWORD;
  if (!config.m_strSmtpCertificate.empty() && fw::NormalizeFingerprint(config.m_strSmtpCertificate).empty()) {
    return IDS_ERR_BAD_FINGERPRINT;
  }
  return 0;
}

std::string CanonicalPin(const std::string& text) {
  const std::string canonical = fw::NormalizeFingerprint(text);
  return canonical.empty() ? text : canonical;
}
