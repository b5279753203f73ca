// The German texts about a mail job: failure records and the test message's diagnosis.
#include "mail/SmtpDiagnosis.h"

#include <iterator>

#include "framework/async_socket.h"
#include "framework/clock.h"
#include "framework/strings.h"
#include "resource.h"

namespace {

// The steps' names, in the order of the state list.
constexpr unsigned kStepTextIds[] = {IDS_STEP_IDLE,     IDS_STEP_LOOKUP, IDS_STEP_CONNECT, IDS_STEP_TLS_HANDSHAKE,
                                     IDS_STEP_GREETING, IDS_STEP_HELO,   IDS_STEP_EHLO,    IDS_STEP_STARTTLS,
                                     IDS_STEP_AUTH,     IDS_STEP_MAIL,   IDS_STEP_RCPT,    IDS_STEP_DATA,
                                     IDS_STEP_DATA_END, IDS_STEP_QUIT,   IDS_STEP_CLOSED};
static_assert(std::size(kStepTextIds) == kSmtpStateCount, "one name per state");

// A server's reply line is quoted up to this length.
constexpr std::size_t kMaxQuotedReply = 300;

// A text from outside (a server's line, a setting) as it may be shown: control characters
// become blanks, a long text is cut.
std::string Quoted(const std::string& reply) {
  std::string text = reply.substr(0, kMaxQuotedReply);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  if (reply.size() > kMaxQuotedReply) text += "...";
  return text;
}

bool IsTrustFailure(fw::TlsFailure failure) {
  return failure == fw::TlsFailure::Untrusted || failure == fw::TlsFailure::PinMismatch;
}

std::string ConfigurationText(const std::string& profile) {
  return profile.empty() ? fw::LoadString(IDS_RECORD_GLOBAL)
                         : fw::FormatId(IDS_RECORD_PROFILE, Quoted(profile).c_str());
}

}  // namespace

std::string SmtpStepText(SmtpState step) {
  const auto index = static_cast<std::size_t>(step);
  return index < std::size(kStepTextIds) ? fw::LoadString(kStepTextIds[index]) : std::string();
}

std::string TlsFailureGermanText(fw::TlsFailure failure) {
  switch (failure) {
    case fw::TlsFailure::Untrusted:
      return fw::LoadString(IDS_TLS_UNTRUSTED);
    case fw::TlsFailure::PinMismatch:
      return fw::LoadString(IDS_TLS_PIN_MISMATCH);
    case fw::TlsFailure::NameMismatch:
      return fw::LoadString(IDS_TLS_NAME_MISMATCH);
    case fw::TlsFailure::Expired:
      return fw::LoadString(IDS_TLS_EXPIRED);
    case fw::TlsFailure::NotYetValid:
      return fw::LoadString(IDS_TLS_NOT_YET_VALID);
    case fw::TlsFailure::Revoked:
      return fw::LoadString(IDS_TLS_REVOKED);
    case fw::TlsFailure::Handshake:
      return fw::LoadString(IDS_TLS_HANDSHAKE);
    case fw::TlsFailure::Connection:
      return fw::LoadString(IDS_TLS_CONNECTION);
    case fw::TlsFailure::None:
      break;
  }
  return {};
}

std::string FormatUtcMoment(std::int64_t t) {
  fw::CalendarTime utc;
  if (!fw::ToUtcTime(t, utc)) return "?";
  return fw::Format("%02d.%02d.%04d %02d:%02d UTC", utc.day, utc.month, utc.year, utc.hour, utc.minute);
}

std::string FormatFailureRecord(const std::string& profile, const std::string& server, int port,
                                const SmtpFailure& failure) {
  std::string record =
      fw::FormatId(IDS_RECORD, ConfigurationText(profile).c_str(), Quoted(server).c_str(), port,
                   SmtpStepText(failure.step).c_str(), fw::LoadString(SmtpFailureTextId(failure.reason)).c_str());
  if (failure.error != 0) record += fw::FormatId(IDS_RECORD_ERROR, failure.error);
  if (!failure.reply.empty()) record += fw::FormatId(IDS_RECORD_REPLY, Quoted(failure.reply).c_str());
  if (failure.tls != fw::TlsFailure::None) {
    record +=
        fw::FormatId(IDS_RECORD_TLS, TlsFailureGermanText(failure.tls).c_str(), Quoted(failure.tlsDetail).c_str());
  }
  if (!failure.certificate.fingerprint.empty()) {
    record += fw::FormatId(IDS_RECORD_CERTIFICATE, Quoted(failure.certificate.subject).c_str(),
                           failure.certificate.fingerprint.c_str());
  }
  return record;
}

std::string FormatTestMessageBody(const std::string& profile, const std::string& server, int port) {
  return fw::FormatId(IDS_TEST_BODY, ConfigurationText(profile).c_str(), server.c_str(), port) + "\r\n";
}

void CSmtpDiagnosis::Resolved(const std::string& name, const std::string& address) {
  Line(fw::FormatId(IDS_DIAG_RESOLVED, name.c_str(), address.c_str()));
}

void CSmtpDiagnosis::AddressGiven(const std::string& address) {
  Line(fw::FormatId(IDS_DIAG_ADDRESS, address.c_str()));
}

void CSmtpDiagnosis::Connected(const std::string& address, int port) {
  Line(fw::FormatId(IDS_DIAG_CONNECTED, address.c_str(), port));
}

void CSmtpDiagnosis::TlsEstablished(const fw::CTlsChannel& channel) {
  Line(fw::FormatId(IDS_DIAG_TLS, channel.GetProtocol().c_str(), channel.GetCipher().c_str()));
  if (channel.HasCertificate()) Certificate(channel.GetCertificate());
}

void CSmtpDiagnosis::Certificate(const fw::TlsCertificateInfo& certificate) {
  Line(fw::FormatId(IDS_DIAG_CERT_SUBJECT, Quoted(certificate.subject).c_str()));
  Line(fw::FormatId(IDS_DIAG_CERT_ISSUER, Quoted(certificate.issuer).c_str()));
  Line(fw::FormatId(IDS_DIAG_CERT_VALID, FormatUtcMoment(certificate.notAfter).c_str()));
  Line(fw::FormatId(IDS_DIAG_CERT_FINGERPRINT, certificate.fingerprint.c_str()));
}

void CSmtpDiagnosis::Reply(SmtpState step, const std::string& reply) {
  unsigned id = 0;
  switch (step) {
    case SmtpState::AwaitGreeting:
      id = IDS_DIAG_GREETING;
      break;
    case SmtpState::AwaitHeloReply:
      id = IDS_DIAG_HELO;
      break;
    case SmtpState::AwaitEhloReply:
      id = IDS_DIAG_EHLO;
      break;
    case SmtpState::AwaitStartTlsReply:
      id = IDS_DIAG_STARTTLS;
      break;
    case SmtpState::AwaitDataReply:
      id = IDS_DIAG_DATA;
      break;
    case SmtpState::AwaitDataEndReply:
      id = IDS_DIAG_FINAL;
      break;
    default:
      return;
  }
  Line(fw::FormatId(id, Quoted(reply).c_str()));
}

void CSmtpDiagnosis::Offered(const std::string& ehloLine, const smtp::Capabilities& capabilities) {
  Line(fw::FormatId(IDS_DIAG_EHLO, Quoted(ehloLine).c_str()));
  std::string mechanisms;
  for (const std::string& mechanism : capabilities.authMechanisms) {
    mechanisms += (mechanisms.empty() ? "" : " ") + mechanism;
  }
  if (mechanisms.empty()) mechanisms = fw::LoadString(IDS_DIAG_NONE);
  const std::string size = capabilities.bSize && capabilities.sizeLimit > 0
                               ? fw::FormatId(IDS_DIAG_BYTES, std::to_string(capabilities.sizeLimit).c_str())
                               : fw::LoadString(IDS_DIAG_NONE);
  Line(fw::FormatId(IDS_DIAG_OFFERED, fw::LoadString(capabilities.bStartTls ? IDS_DIAG_YES : IDS_DIAG_NO).c_str(),
                    mechanisms.c_str(), size.c_str()));
}

void CSmtpDiagnosis::Login(const std::string& user, smtp::AuthMechanism mechanism, bool bAccepted,
                           const std::string& reply) {
  Line(fw::FormatId(bAccepted ? IDS_DIAG_LOGIN_ACCEPTED : IDS_DIAG_LOGIN_REFUSED, Quoted(user).c_str(),
                    smtp::AuthMechanismName(mechanism), Quoted(reply).c_str()));
}

void CSmtpDiagnosis::Sender(const std::string& address, const std::string& reply) {
  Line(fw::FormatId(IDS_DIAG_SENDER, address.c_str(), Quoted(reply).c_str()));
}

void CSmtpDiagnosis::Recipient(const std::string& address, const std::string& reply) {
  Line(fw::FormatId(IDS_DIAG_RECIPIENT, address.c_str(), Quoted(reply).c_str()));
}

void CSmtpDiagnosis::Delivered() {
  Line(fw::LoadString(IDS_DIAG_DELIVERED));
}

void CSmtpDiagnosis::Failed(const SmtpFailure& failure) {
  if (failure.tls != fw::TlsFailure::None) {
    const bool bCertificate = !failure.certificate.fingerprint.empty();
    if (bCertificate) Certificate(failure.certificate);
    Line(fw::FormatId(IDS_DIAG_CERT_REFUSED, TlsFailureGermanText(failure.tls).c_str(),
                      Quoted(failure.tlsDetail).c_str()));
    if (bCertificate && IsTrustFailure(failure.tls)) {
      Line(fw::FormatId(IDS_DIAG_PIN_HINT, failure.certificate.fingerprint.c_str()));
    }
  }
  Line(fw::FormatId(IDS_DIAG_FAILED, SmtpStepText(failure.step).c_str(),
                    fw::LoadString(SmtpFailureTextId(failure.reason)).c_str()));
  if (failure.error == fw::kWsaEConnRefused) Line(fw::LoadString(IDS_DIAG_REFUSED_PORT));
  if (failure.error != 0) Line(fw::FormatId(IDS_DIAG_ERROR, failure.error));
  if (!failure.reply.empty()) Line(fw::FormatId(IDS_DIAG_REPLY, Quoted(failure.reply).c_str()));
}
