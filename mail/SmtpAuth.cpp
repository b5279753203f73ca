// The SMTP login exchange.
#include "mail/SmtpAuth.h"

#include "mail/Base64.h"

namespace smtp {
namespace {

constexpr int kAuthAccepted = 235;
constexpr int kAuthPrompt = 334;
constexpr const char* kMask = "********";

// Overwrites a secret before its memory is given back.
void Wipe(std::string& secret) {
  volatile char* bytes = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = '\0';
  secret.clear();
}

void ReplaceAll(std::string& text, std::string_view secret) {
  if (secret.empty()) return;
  for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 8)) {
    text.replace(at, secret.size(), kMask);
  }
}

// A line's text without its CR LF.
std::string_view WithoutLineEnd(std::string_view line) {
  return line.substr(0, line.size() >= 2 ? line.size() - 2 : 0);
}

}  // namespace

AuthMechanism ChooseAuthMechanism(const Capabilities& capabilities) {
  if (capabilities.OffersAuth("PLAIN")) return AuthMechanism::Plain;
  if (capabilities.OffersAuth("LOGIN")) return AuthMechanism::Login;
  return AuthMechanism::None;
}

const char* AuthMechanismName(AuthMechanism mechanism) {
  switch (mechanism) {
    case AuthMechanism::Plain:
      return "PLAIN";
    case AuthMechanism::Login:
      return "LOGIN";
    case AuthMechanism::None:
      break;
  }
  return "";
}

CAuthExchange::CAuthExchange(AuthMechanism mechanism, std::string_view user, std::string_view password)
    : m_mechanism(mechanism), m_strPassword(password) {
  if (mechanism == AuthMechanism::Plain) {
    // The authorization identity stays empty: the server derives it from the user.
    std::string credentials;
    credentials.reserve(user.size() + password.size() + 2);
    credentials.append(1, '\0').append(user).append(1, '\0').append(password);
    m_strPlainResponse = mailcode::Base64(credentials);
    m_strCommand = "AUTH PLAIN " + m_strPlainResponse + "\r\n";
    Wipe(credentials);
  } else if (mechanism == AuthMechanism::Login) {
    m_strCommand = "AUTH LOGIN\r\n";
    m_strUserLine = mailcode::Base64(user) + "\r\n";
    m_strPasswordLine = mailcode::Base64(password) + "\r\n";
  }
}

CAuthExchange::~CAuthExchange() {
  Wipe(m_strPassword);
  Wipe(m_strPlainResponse);
  Wipe(m_strCommand);
  Wipe(m_strPasswordLine);
}

const std::string& CAuthExchange::Begin() {
  return m_strCommand;
}

CAuthExchange::Outcome CAuthExchange::OnReply(int code, std::string& line) {
  line.clear();
  if (code == kAuthAccepted && !m_bCancelled) return Outcome::Accepted;
  if (code != kAuthPrompt || m_bCancelled) return Outcome::Refused;
  ++m_nPrompts;
  if (m_mechanism == AuthMechanism::Login && m_nPrompts <= 2) {
    line = m_nPrompts == 1 ? m_strUserLine : m_strPasswordLine;
    return Outcome::Continue;
  }
  // A prompt that nothing answers (PLAIN sent everything at once): the exchange is cancelled.
  m_bCancelled = true;
  line = "*\r\n";
  return Outcome::Continue;
}

std::string CAuthExchange::Redact(std::string text) const {
  ReplaceAll(text, m_strPlainResponse);
  ReplaceAll(text, WithoutLineEnd(m_strPasswordLine));
  ReplaceAll(text, m_strPassword);
  return text;
}

}  // namespace smtp
