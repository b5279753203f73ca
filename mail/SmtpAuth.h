// The client's side of an SMTP login (RFC 4954): which mechanism to use, the lines to send in
// answer to the server's replies, and the masking of the credentials in any text that is shown
// or recorded. PLAIN goes with an initial response; LOGIN answers two 334 prompts. A pure unit
// without sockets, reachable by fuzzers.
#pragma once

#include <string>
#include <string_view>

#include "mail/SmtpCapabilities.h"

namespace smtp {

enum class AuthMechanism { None, Plain, Login };

// PLAIN when the server offers it, else LOGIN when it offers that, else None.
AuthMechanism ChooseAuthMechanism(const Capabilities& capabilities);
// "PLAIN", "LOGIN" or "".
const char* AuthMechanismName(AuthMechanism mechanism);

class CAuthExchange {
 public:
  enum class Outcome {
    Continue,  // send the line given back and await the next reply
    Accepted,  // 235: logged in
    Refused    // any other reply; after an unexpected 334 the exchange was cancelled first
  };

  CAuthExchange(AuthMechanism mechanism, std::string_view user, std::string_view password);
  // Wipes the credentials and every encoded form of them.
  ~CAuthExchange();
  CAuthExchange(const CAuthExchange&) = delete;
  CAuthExchange& operator=(const CAuthExchange&) = delete;

  AuthMechanism Mechanism() const { return m_mechanism; }
  // The AUTH command, CR LF included.
  const std::string& Begin();
  // The server's reply code to the last line sent. Continue sets `line` to the next line to
  // send (CR LF included): the user or the password for LOGIN's prompts, "*" to cancel a prompt
  // that has no answer. A cancelled exchange ends Refused whatever the server says next.
  Outcome OnReply(int code, std::string& line);
  // `text` with the password and every encoded form of the credentials that was sent replaced
  // by "********" (a server may quote what it was sent).
  std::string Redact(std::string text) const;

 private:
  AuthMechanism m_mechanism;
  std::string m_strPassword;
  std::string m_strUserLine;       // LOGIN: the user, Base64, CR LF
  std::string m_strPasswordLine;   // LOGIN: the password, Base64, CR LF
  std::string m_strPlainResponse;  // PLAIN: the credentials, Base64
  std::string m_strCommand;        // the AUTH command (PLAIN: with the credentials)
  int m_nPrompts = 0;              // 334 replies answered so far
  bool m_bCancelled = false;
};

}  // namespace smtp
