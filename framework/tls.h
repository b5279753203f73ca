// A client-side TLS channel that encrypts a byte stream it does not move itself: the caller
// hands it the bytes read from the connection and writes the bytes it produces, driven by the
// socket's usual notifications. One implementation per backend (OpenSSL 3 with the default
// trust store on posix; Schannel with the Windows certificate store on win32).
//
// Policy, the same on both backends:
// - TLS 1.2 or later.
// - The server's certificate must chain to a root of the system's trust store (posix: the
//   default verify paths, which honour SSL_CERT_FILE and SSL_CERT_DIR) and must be valid now.
// - It must name the server: a host name is matched against the DNS names of the certificate
//   (and sent as SNI); a dotted IPv4 address is matched against its IP addresses.
// - A pinned SHA-256 fingerprint replaces only the first check: a certificate with exactly that
//   fingerprint is accepted without a trusted chain, but its name and its validity period are
//   still checked. A pin does not restrict a certificate that the trust store vouches for.
// - Revocation never makes the check wait for the network: win32 refuses a certificate that the
//   system's cache knows to be revoked; OpenSSL's default store holds no revocation lists. An
//   unknown status does not fail the check.
// - A failed check ends the channel during the handshake: no application byte is encrypted.
//
// A channel belongs to the thread that uses it; it is not locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace fw {

// Why a channel failed, with a short name for traces. X(name, text)
#define QB_TLS_FAILURES(X)                                         \
  X(None, "none")                                                  \
  X(Untrusted, "certificate not trusted")                          \
  X(PinMismatch, "certificate not trusted and not the pinned one") \
  X(NameMismatch, "certificate does not name the server")          \
  X(Expired, "certificate expired")                                \
  X(NotYetValid, "certificate not yet valid")                      \
  X(Revoked, "certificate revoked")                                \
  X(Handshake, "handshake failed")                                 \
  X(Connection, "secure connection failed after the handshake")

enum class TlsFailure {
#define QB_TLS_FAILURE_ENUM(name, text) name,
  QB_TLS_FAILURES(QB_TLS_FAILURE_ENUM)
#undef QB_TLS_FAILURE_ENUM
};

// The short English text of a failure ("certificate expired").
const char* TlsFailureText(TlsFailure failure);
// The enumerator's name ("Expired").
const char* TlsFailureName(TlsFailure failure);

struct TlsSettings {
  std::string serverName;   // host name or dotted IPv4 address the certificate must name
  std::string fingerprint;  // pinned SHA-256 (any case, colons optional), or empty
};

// The server's certificate, for a diagnosis. Filled as soon as the server has sent it, also
// when the check then failed.
struct TlsCertificateInfo {
  std::string subject;         // "CN=mail.example.com, O=Example, C=DE" (most specific first)
  std::string issuer;          // the same form
  std::int64_t notBefore = 0;  // seconds since 1970-01-01 UTC
  std::int64_t notAfter = 0;
  std::string fingerprint;  // SHA-256 of the DER form, upper-case hex pairs joined by ':'
};

// The canonical form of a SHA-256 fingerprint given with or without colons (or blanks) in any
// case: 32 upper-case hex pairs joined by ':'. Empty when the text is no such fingerprint.
std::string NormalizeFingerprint(std::string_view text);
// The canonical form of 32 digest bytes.
std::string FormatFingerprint(const unsigned char* digest, std::size_t length);
// True for a strict dotted-quad IPv4 literal ("127.0.0.1"); its bytes in network order.
bool ParseIpv4Literal(std::string_view text, unsigned char (&bytes)[4]);

class CTlsChannel {
 public:
  enum class State {
    Handshake,  // started; the handshake is under way
    Open,       // application data flows both ways
    Closed,     // close_notify was sent or received; nothing more is encrypted
    Failed      // GetFailure() says why; nothing more is encrypted or decrypted
  };

  // A new channel of this build's backend. It is in the Handshake state; Start begins it.
  static std::unique_ptr<CTlsChannel> Create(const TlsSettings& settings);

  CTlsChannel(const CTlsChannel&) = delete;
  CTlsChannel& operator=(const CTlsChannel&) = delete;
  virtual ~CTlsChannel() = default;

  // Begins the handshake: appends the client's first flight to `wire`. May fail at once (no
  // credentials, no server name).
  virtual void Start(std::string& wire) = 0;
  // Takes every byte read from the connection (a partial record is kept for the next call):
  // handshake messages are answered into `wire`, application data is decrypted and appended to
  // `plain`. Bytes that follow the end of the handshake in the same read are decrypted in the
  // same call. Ignored once Failed.
  virtual void Receive(const char* data, std::size_t length, std::string& plain, std::string& wire) = 0;
  // Encrypts `length` bytes into records appended to `wire`. False unless Open.
  virtual bool Encrypt(const char* data, std::size_t length, std::string& wire) = 0;
  // Ends an Open channel (it is then Closed) with close_notify appended to `wire`. False when
  // the system cannot write close_notify (Wine 8's Schannel): the connection then simply ends.
  virtual bool Shutdown(std::string& wire) = 0;

  // The connection ended (no more bytes will arrive): a handshake still under way fails.
  void ConnectionEnded();

  State GetState() const { return m_state; }
  TlsFailure GetFailure() const { return m_failure; }
  // What the backend said about the failure ("unsupported protocol", "certificate has
  // expired", a status code), for a diagnosis.
  const std::string& GetFailureDetail() const { return m_failureDetail; }
  // Whether the server sent its close_notify.
  bool IsPeerClosed() const { return m_bPeerClosed; }
  bool HasCertificate() const { return !m_certificate.fingerprint.empty(); }
  const TlsCertificateInfo& GetCertificate() const { return m_certificate; }
  // After the handshake: "TLSv1.2" or "TLSv1.3", and the cipher suite's IANA name
  // ("TLS_AES_256_GCM_SHA384").
  const std::string& GetProtocol() const { return m_protocol; }
  const std::string& GetCipher() const { return m_cipher; }

 protected:
  explicit CTlsChannel(const TlsSettings& settings);

  // Ends the channel with `failure`; the first failure recorded stands.
  void Fail(TlsFailure failure, std::string detail);
  // The certificate failure of the peer's certificate, before it is reported as the channel's.
  void NoteCertificateFailure(TlsFailure failure, std::string detail);
  // Whether a pin was given (a malformed one matches no certificate).
  bool HasPin() const { return !m_settings.fingerprint.empty(); }
  // Whether the pin matches the peer's certificate.
  bool PinMatches() const;
  // The failure for a certificate without a trusted chain.
  TlsFailure UntrustedFailure() const { return HasPin() ? TlsFailure::PinMismatch : TlsFailure::Untrusted; }

  TlsSettings m_settings;
  std::string m_strPin;  // normalised pin, or empty
  State m_state = State::Handshake;
  TlsFailure m_failure = TlsFailure::None;
  std::string m_failureDetail;
  TlsFailure m_certFailure = TlsFailure::None;
  std::string m_certFailureDetail;
  bool m_bPeerClosed = false;
  TlsCertificateInfo m_certificate;
  std::string m_protocol;
  std::string m_cipher;
};

}  // namespace fw
