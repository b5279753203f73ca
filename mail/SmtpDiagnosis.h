// The German texts about a mail job: the failure record that a failed notification leaves,
// and the diagnosis of a test message, which tells step by step what the server said (the
// name's address, the connection, the greeting, what EHLO offered, TLS and the certificate,
// the login, each recipient, the final reply) and, on failure, the step, the reason and the
// server's own reply line. All texts come from the string table (Windows-1252); none holds a
// password: callers pass reply lines with the credentials masked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "framework/tls.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpCapabilities.h"
#include "mail/SmtpFailure.h"

// The German name of a step ("Anmeldung (AUTH)").
std::string SmtpStepText(SmtpState step);
// The German text of a failed TLS check.
std::string TlsFailureGermanText(fw::TlsFailure failure);
// A moment as "31.12.2026 23:59 UTC".
std::string FormatUtcMoment(std::int64_t t);

// The failure record of a job: one line naming the configuration (`profile`, empty for the
// global one), the server and port, the step, the reason, the error code, the server's reply
// line and, for a failed TLS check, its reason and the certificate's fingerprint.
std::string FormatFailureRecord(const std::string& profile, const std::string& server, int port,
                                const SmtpFailure& failure);

// The body of the test message: what it is and which settings sent it.
std::string FormatTestMessageBody(const std::string& profile, const std::string& server, int port);

// Receives the steps of one job (worker thread) and hands each finished line to `emit`.
class CSmtpDiagnosis {
 public:
  using Emit = std::function<void(const std::string& line)>;
  explicit CSmtpDiagnosis(Emit emit) : m_emit(std::move(emit)) {}

  void Resolved(const std::string& name, const std::string& address);
  void AddressGiven(const std::string& address);
  void Connected(const std::string& address, int port);
  void TlsEstablished(const fw::CTlsChannel& channel);
  // The reply that ended a step without a line of its own: greeting, HELO, STARTTLS, DATA and
  // the reply after the message.
  void Reply(SmtpState step, const std::string& reply);
  void Offered(const std::string& ehloLine, const smtp::Capabilities& capabilities);
  void Login(const std::string& user, smtp::AuthMechanism mechanism, bool bAccepted, const std::string& reply);
  void Sender(const std::string& address, const std::string& reply);
  void Recipient(const std::string& address, const std::string& reply);
  void Delivered();
  void Failed(const SmtpFailure& failure);

 private:
  void Certificate(const fw::TlsCertificateInfo& certificate);
  void Line(const std::string& line) { m_emit(line); }

  Emit m_emit;
};
