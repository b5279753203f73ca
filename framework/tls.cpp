// The backend-independent parts of the TLS channel: failure names, fingerprints, address
// literals, and the channel's failure bookkeeping.
#include "framework/tls.h"

#include <utility>

namespace fw {

const char* TlsFailureText(TlsFailure failure) {
  switch (failure) {
#define QB_TLS_FAILURE_TEXT(name, text) \
  case TlsFailure::name:                \
    return text;
    QB_TLS_FAILURES(QB_TLS_FAILURE_TEXT)
#undef QB_TLS_FAILURE_TEXT
  }
  return "?";
}

const char* TlsFailureName(TlsFailure failure) {
  switch (failure) {
#define QB_TLS_FAILURE_NAME(name, text) \
  case TlsFailure::name:                \
    return #name;
    QB_TLS_FAILURES(QB_TLS_FAILURE_NAME)
#undef QB_TLS_FAILURE_NAME
  }
  return "?";
}

namespace {

constexpr std::size_t kSha256Length = 32;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string FormatFingerprint(const unsigned char* digest, std::size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(length * 3);
  for (std::size_t i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0x0F];
  }
  return text;
}

std::string NormalizeFingerprint(std::string_view text) {
  unsigned char digest[kSha256Length];
  std::size_t count = 0;
  int high = -1;
  for (const char c : text) {
    if (c == ':' || c == ' ' || c == '\t') {
      if (high >= 0) return {};  // a separator inside a pair
      continue;
    }
    const int value = HexValue(c);
    if (value < 0) return {};
    if (high < 0) {
      high = value;
      continue;
    }
    if (count == kSha256Length) return {};
    digest[count++] = static_cast<unsigned char>(high << 4 | value);
    high = -1;
  }
  if (high >= 0 || count != kSha256Length) return {};
  return FormatFingerprint(digest, count);
}

bool ParseIpv4Literal(std::string_view text, unsigned char (&bytes)[4]) {
  std::size_t part = 0;
  std::size_t digits = 0;
  unsigned value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0 || part == 4) return false;
      bytes[part++] = static_cast<unsigned char>(value);
      digits = 0;
      value = 0;
      continue;
    }
    const char c = text[i];
    if (c < '0' || c > '9' || (digits == 1 && value == 0)) return false;  // no leading zeros
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (++digits > 3 || value > 255) return false;
  }
  return part == 4;
}

CTlsChannel::CTlsChannel(const TlsSettings& settings)
    : m_settings(settings), m_strPin(NormalizeFingerprint(settings.fingerprint)) {}

void CTlsChannel::ConnectionEnded() {
  if (m_state == State::Handshake) Fail(TlsFailure::Handshake, "connection closed during the handshake");
}

void CTlsChannel::Fail(TlsFailure failure, std::string detail) {
  if (m_state == State::Failed) return;
  m_state = State::Failed;
  m_failure = failure;
  m_failureDetail = std::move(detail);
}

void CTlsChannel::NoteCertificateFailure(TlsFailure failure, std::string detail) {
  if (m_certFailure != TlsFailure::None) return;
  m_certFailure = failure;
  m_certFailureDetail = std::move(detail);
}

bool CTlsChannel::PinMatches() const {
  return !m_strPin.empty() && m_strPin == m_certificate.fingerprint;
}

}  // namespace fw
