// CTlsChannel of the win32 backend: Schannel through SSPI, with the server's certificate
// checked by hand against the Windows certificate store (chain to a trusted root, the SSL
// policy with the server name, the validity period), so that a pinned fingerprint can stand in
// for the trusted root. Records are encrypted in place in the caller's wire buffer; received
// bytes wait in one input buffer until they make whole records.
#include "framework/win32/windows_api.h"

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <winternl.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/tls.h"

namespace fw {
namespace {

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
// Chain building that never waits for the network on the caller's thread.
constexpr DWORD kCacheOnly = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
constexpr DWORD kRevocationFromCache =
    kCacheOnly | CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY;
// The content type of a TLS 1.2 record that carries an alert.
constexpr unsigned char kAlertRecord = 21;
constexpr DWORD kAllowedProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD kOlderProtocols =
    SP_PROT_PCT1_CLIENT | SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
// HTTPSPolicyCallbackData checks to skip (wininet.h's SECURITY_FLAG_IGNORE_UNKNOWN_CA and
// SECURITY_FLAG_IGNORE_CERT_CN_INVALID).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreNameMismatch = 0x00001000;
// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kFileTimeEpochSeconds = 11644473600LL;

std::string StatusText(const char* what, SECURITY_STATUS status) {
  char text[96];
  std::snprintf(text, sizeof text, "%s: 0x%08lX", what, static_cast<unsigned long>(status));
  return text;
}

std::int64_t UnixTime(const FILETIME& time) {
  const std::int64_t ticks = static_cast<std::int64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
  return ticks / 10000000 - kFileTimeEpochSeconds;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0) ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const WCHAR* text) {
  std::string narrow;
  for (; text != nullptr && *text != 0; ++text) narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
  return narrow;
}

std::string NameText(const CERT_NAME_BLOB& name) {
  CERT_NAME_BLOB blob = name;
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD size = ::CertNameToStrA(X509_ASN_ENCODING, &blob, type, nullptr, 0);
  if (size <= 1) return {};
  std::string text(size, '\0');
  ::CertNameToStrA(X509_ASN_ENCODING, &blob, type, text.data(), size);
  text.resize(size - 1);
  return text;
}

TlsCertificateInfo CertificateInfo(PCCERT_CONTEXT cert) {
  TlsCertificateInfo info;
  BYTE digest[32];
  DWORD length = sizeof digest;
  if (!::CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded, digest,
                               &length) ||
      length != sizeof digest) {
    return info;
  }
  info.subject = NameText(cert->pCertInfo->Subject);
  info.issuer = NameText(cert->pCertInfo->Issuer);
  info.notBefore = UnixTime(cert->pCertInfo->NotBefore);
  info.notAfter = UnixTime(cert->pCertInfo->NotAfter);
  info.fingerprint = FormatFingerprint(digest, length);
  return info;
}

// Whether the certificate lists `address` among its subject alternative names.
bool HasIpAddress(PCCERT_CONTEXT cert, const unsigned char (&address)[4]) {
  const CERT_INFO* info = cert->pCertInfo;
  const CERT_EXTENSION* extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == sizeof address &&
            std::memcmp(entry.IPAddress.pbData, address, sizeof address) == 0;
  }
  ::LocalFree(names);
  return found;
}

const char* ProtocolName(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
  if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
  if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
  if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
  return "unknown";
}

class SchannelChannel final : public CTlsChannel {
 public:
  explicit SchannelChannel(const TlsSettings& settings) : CTlsChannel(settings) {
    SecInvalidateHandle(&m_credentials);
    SecInvalidateHandle(&m_context);
  }

  ~SchannelChannel() override {
    if (m_bHasContext) ::DeleteSecurityContext(&m_context);
    if (m_bHasCredentials) ::FreeCredentialsHandle(&m_credentials);
  }

  void Start(std::string& wire) override {
    if (m_state != State::Handshake || m_bHasCredentials) return;
    if (m_settings.serverName.empty()) {
      Fail(TlsFailure::Handshake, "no server name");
      return;
    }
    const SECURITY_STATUS status = AcquireCredentials();
    if (status != SEC_E_OK) {
      Fail(TlsFailure::Handshake, StatusText("AcquireCredentialsHandle", status));
      return;
    }
    Handshake(wire);
  }

  void Receive(const char* data, std::size_t length, std::string& plain, std::string& wire) override {
    if (m_state == State::Failed || !m_bHasCredentials) return;
    AppendInput(data, length);
    if (m_state == State::Handshake) Handshake(wire);
    if (m_state == State::Open || m_state == State::Closed) Decrypt(plain, wire);
  }

  bool Encrypt(const char* data, std::size_t length, std::string& wire) override {
    if (m_state != State::Open) return false;
    while (length > 0) {
      const std::size_t piece = std::min<std::size_t>(length, m_sizes.cbMaximumMessage);
      const std::size_t start = wire.size();
      const std::size_t header = m_sizes.cbHeader;
      wire.resize(start + header + piece + m_sizes.cbTrailer);
      char* record = wire.data() + start;
      std::memcpy(record + header, data, piece);
      SecBuffer buffers[4] = {
          {m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
          {static_cast<ULONG>(piece), SECBUFFER_DATA, record + header},
          {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + header + piece},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = ::EncryptMessage(&m_context, 0, &description, 0);
      if (status != SEC_E_OK) {
        wire.resize(start);
        Fail(TlsFailure::Connection, StatusText("EncryptMessage", status));
        return false;
      }
      // The record is header, data and trailer as written; close any gap a shorter part left.
      std::memmove(record + buffers[0].cbBuffer, buffers[1].pvBuffer, buffers[1].cbBuffer);
      std::memmove(record + buffers[0].cbBuffer + buffers[1].cbBuffer, buffers[2].pvBuffer, buffers[2].cbBuffer);
      wire.resize(start + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      data += piece;
      length -= piece;
    }
    return true;
  }

  bool Shutdown(std::string& wire) override {
    if (m_state != State::Open) return false;
    m_state = State::Closed;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    if (::ApplyControlToken(&m_context, &description) != SEC_E_OK) return false;  // Wine 8 has none
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    std::wstring target = Widen(m_settings.serverName);
    ::InitializeSecurityContextW(&m_credentials, &m_context, target.data(), kContextRequest, 0, 0, nullptr, 0, nullptr,
                                 &outDescription, &attributes, nullptr);
    const std::size_t before = wire.size();
    TakeToken(out, wire);
    return wire.size() > before;
  }

 private:
  SECURITY_STATUS AcquireCredentials() {
    // Windows 10 1809 and later take the newer structure (and offer TLS 1.3 where the system
    // does); a system that does not understand it either refuses it or, like Wine 8, takes it
    // for its defaults, which include older protocols: then the older structure, with TLS 1.2.
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = ~static_cast<DWORD>(kAllowedProtocols);
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    SECURITY_STATUS status = Acquire(&current);
    if (status == SEC_E_OK && !OffersOnlyAllowedProtocols()) {
      ::FreeCredentialsHandle(&m_credentials);
      status = SEC_E_UNSUPPORTED_FUNCTION;
    }
    if (status != SEC_E_OK) {
      SCHANNEL_CRED legacy{};
      legacy.dwVersion = SCHANNEL_CRED_VERSION;
      legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
      legacy.dwFlags = kCredentialFlags;
      status = Acquire(&legacy);
    }
    m_bHasCredentials = status == SEC_E_OK;
    return status;
  }

  SECURITY_STATUS Acquire(void* authData) {
    TimeStamp expiry;
    return ::AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                       authData, nullptr, nullptr, &m_credentials, &expiry);
  }

  // Whether the credentials offer no protocol older than TLS 1.2 (unknown counts as yes).
  bool OffersOnlyAllowedProtocols() {
    SecPkgCred_SupportedProtocols protocols{};
    if (::QueryCredentialsAttributesW(&m_credentials, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &protocols) != SEC_E_OK) {
      return true;
    }
    return (protocols.grbitProtocol & kOlderProtocols) == 0;
  }

  void AppendInput(const char* data, std::size_t length) {
    if (length == 0) return;
    // Whole records were taken from the front: drop them before the buffer grows.
    if (m_nInputStart > 0 && (m_nInputStart == m_input.size() || m_nInputStart >= m_input.size() / 2)) {
      m_input.erase(0, m_nInputStart);
      m_nInputStart = 0;
    }
    m_input.append(data, length);
  }

  std::size_t InputLength() const { return m_input.size() - m_nInputStart; }
  char* InputData() { return m_input.data() + m_nInputStart; }

  // Keeps the last `extra` bytes of the input (the rest was taken).
  void KeepInput(ULONG extra) { m_nInputStart = m_input.size() - std::min<std::size_t>(extra, InputLength()); }

  static ULONG ExtraBytes(const SecBuffer& buffer) {
    return buffer.BufferType == SECBUFFER_EXTRA ? buffer.cbBuffer : 0;
  }

  static void TakeToken(SecBuffer& token, std::string& wire) {
    if (token.pvBuffer == nullptr) return;
    if (token.cbBuffer > 0) wire.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
    ::FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
  }

  // One step of InitializeSecurityContext with the buffered input (none on the first call).
  SECURITY_STATUS Step(std::string& wire) {
    SecBuffer in[2] = {{static_cast<ULONG>(InputLength()), SECBUFFER_TOKEN, InputData()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 2, out};
    ULONG attributes = 0;
    std::wstring target = Widen(m_settings.serverName);
    const bool first = !m_bHasContext;
    const SECURITY_STATUS status = ::InitializeSecurityContextW(
        &m_credentials, first ? nullptr : &m_context, target.data(), kContextRequest, 0, 0,
        first ? nullptr : &inDescription, 0, first ? &m_context : nullptr, &outDescription, &attributes, nullptr);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) m_bHasContext = true;
    TakeToken(out[0], wire);  // also the alert that a failed step may carry
    if (out[1].pvBuffer != nullptr) ::FreeContextBuffer(out[1].pvBuffer);
    if (!first && status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS) {
      KeepInput(ExtraBytes(in[1]));
    }
    return status;
  }

  enum class Steps { Done, NeedMore, Failed };

  // Runs InitializeSecurityContext over the buffered input until the handshake is done or
  // needs more bytes; `withoutInput` makes the first step run also on no input.
  Steps RunSteps(std::string& wire, bool withoutInput = false) {
    for (int askedForCertificate = 0;; withoutInput = false) {
      if (m_bHasContext && InputLength() == 0 && !withoutInput) return Steps::NeedMore;
      const SECURITY_STATUS status = Step(wire);
      switch (status) {
        case SEC_E_OK:
          return Steps::Done;
        case SEC_I_CONTINUE_NEEDED:
          continue;  // the input may hold the next message already
        case SEC_I_INCOMPLETE_CREDENTIALS:
          if (++askedForCertificate == 1) continue;  // go on without a client certificate
          break;
        case SEC_E_INCOMPLETE_MESSAGE:
          return Steps::NeedMore;
        default:
          break;
      }
      m_stepStatus = status;
      return Steps::Failed;
    }
  }

  void Handshake(std::string& wire) {
    switch (RunSteps(wire)) {
      case Steps::Done:
        FinishHandshake();
        break;
      case Steps::NeedMore:
        break;
      case Steps::Failed:
        Fail(TlsFailure::Handshake, StatusText("InitializeSecurityContext", m_stepStatus));
        break;
    }
  }

  // A renegotiation or a post-handshake message (TLS 1.3 session tickets, key updates): the
  // server's certificate must stay the same.
  void Renegotiate(std::string& wire, bool first = false) {
    switch (RunSteps(wire, first)) {
      case Steps::Done: {
        m_bRenegotiating = false;
        PCCERT_CONTEXT cert = nullptr;
        if (::QueryContextAttributesW(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) == SEC_E_OK && cert) {
          const bool same = CertificateInfo(cert).fingerprint == m_certificate.fingerprint;
          ::CertFreeCertificateContext(cert);
          if (!same) Fail(TlsFailure::Connection, "the server changed its certificate");
        }
        break;
      }
      case Steps::NeedMore:
        break;
      case Steps::Failed:
        Fail(TlsFailure::Connection, StatusText("InitializeSecurityContext", m_stepStatus));
        break;
    }
  }

  void FinishHandshake() {
    // The credentials ask for TLS 1.2 or later; this holds also where a system ignored that.
    SecPkgContext_ConnectionInfo connection{};
    if (::QueryContextAttributesW(&m_context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK) {
      Fail(TlsFailure::Handshake, "no connection information");
      return;
    }
    m_protocol = ProtocolName(connection.dwProtocol);
    if ((connection.dwProtocol & kAllowedProtocols) == 0) {
      Fail(TlsFailure::Handshake, "protocol " + m_protocol + " is older than TLS 1.2");
      return;
    }
    if (::QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes) != SEC_E_OK ||
        m_sizes.cbMaximumMessage == 0) {
      Fail(TlsFailure::Handshake, "no record sizes");
      return;
    }
    PCCERT_CONTEXT cert = nullptr;
    if (::QueryContextAttributesW(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || cert == nullptr) {
      Fail(TlsFailure::Untrusted, "the server sent no certificate");
      return;
    }
    m_certificate = CertificateInfo(cert);
    const TlsFailure failure = CheckCertificate(cert);
    ::CertFreeCertificateContext(cert);
    if (failure != TlsFailure::None) {
      Fail(failure, m_certFailureDetail);
      return;
    }
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (::QueryContextAttributesW(&m_context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK) {
      m_cipher = Narrow(cipher.szCipherSuite);
    }
    m_state = State::Open;
  }

  // The chain of `cert` up to a root of the system's store, with the intermediate certificates
  // the server sent; null when none could be built.
  static PCCERT_CHAIN_CONTEXT BuildChain(PCCERT_CONTEXT cert, DWORD flags) {
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!::CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara, flags, nullptr, &chain)) {
      return nullptr;
    }
    return chain;
  }

  // The checks of the server's certificate; None when it passes.
  TlsFailure CheckCertificate(PCCERT_CONTEXT cert) {
    if (m_certificate.fingerprint.empty()) return Refuse(TlsFailure::Untrusted, "no fingerprint");
    const bool pinned = PinMatches();
    unsigned char address[4];
    const bool byAddress = ParseIpv4Literal(m_settings.serverName, address);
    if (byAddress && !HasIpAddress(cert, address))
      return Refuse(TlsFailure::NameMismatch, "address not in certificate");

    // Revocation as far as the system knows it already: a revoked certificate is refused, an
    // unknown status is not held against the server (the check never waits for the network).
    if (const PCCERT_CHAIN_CONTEXT withRevocation = BuildChain(cert, kRevocationFromCache)) {
      const bool revoked = (withRevocation->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) != 0;
      ::CertFreeCertificateChain(withRevocation);
      if (revoked) return Refuse(TlsFailure::Revoked, "the certificate was revoked");
    }
    // The policy on a chain built without revocation, so that an unknown status cannot stand in
    // for the other checks (Wine reports it instead of the name check).
    PCCERT_CHAIN_CONTEXT chain = BuildChain(cert, kCacheOnly);
    if (chain == nullptr) return Refuse(TlsFailure::Untrusted, StatusText("CertGetCertificateChain", ::GetLastError()));
    std::wstring name = Widen(m_settings.serverName);
    HTTPSPolicyCallbackData extra{};
    extra.cbStruct = sizeof extra;
    extra.dwAuthType = AUTHTYPE_SERVER;
    extra.fdwChecks = (pinned ? kIgnoreUnknownCa : 0) | (byAddress ? kIgnoreNameMismatch : 0);
    extra.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags =
        CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS | (pinned ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0);
    policy.pvExtraPolicyPara = &extra;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    const BOOL checked = ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    const DWORD chainStatus = chain->TrustStatus.dwErrorStatus;
    ::CertFreeCertificateChain(chain);
    if (!checked)
      return Refuse(TlsFailure::Untrusted, StatusText("CertVerifyCertificateChainPolicy", ::GetLastError()));
    return PolicyFailure(static_cast<HRESULT>(status.dwError), chainStatus);
  }

  TlsFailure PolicyFailure(HRESULT error, DWORD chainStatus) {
    const std::string detail =
        StatusText("certificate policy", error) + ", " + StatusText("chain status", static_cast<LONG>(chainStatus));
    switch (error) {
      case S_OK:
        return TlsFailure::None;
      case CERT_E_CN_NO_MATCH:
        return Refuse(TlsFailure::NameMismatch, detail);
      case CERT_E_EXPIRED:
      case CERT_E_VALIDITYPERIODNESTING: {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        const bool early = UnixTime(now) < m_certificate.notBefore;
        return Refuse(early ? TlsFailure::NotYetValid : TlsFailure::Expired, detail);
      }
      case CRYPT_E_REVOKED:
        return Refuse(TlsFailure::Revoked, detail);
      case CERT_E_UNTRUSTEDROOT:
      case CERT_E_CHAINING:
      case CERT_E_UNTRUSTEDCA:
      case CERT_E_UNTRUSTEDTESTROOT:
        return Refuse(UntrustedFailure(), detail);
      default:
        return Refuse(TlsFailure::Untrusted, detail);
    }
  }

  TlsFailure Refuse(TlsFailure failure, std::string detail) {
    NoteCertificateFailure(failure, std::move(detail));
    return m_certFailure;
  }

  void Decrypt(std::string& plain, std::string& wire) {
    if (m_bRenegotiating) Renegotiate(wire);
    while (!m_bRenegotiating && InputLength() > 0 && !m_bPeerClosed && m_state != State::Failed) {
      SecBuffer buffers[4] = {{static_cast<ULONG>(InputLength()), SECBUFFER_DATA, InputData()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const bool alert = static_cast<unsigned char>(InputData()[0]) == kAlertRecord;
      const SECURITY_STATUS status = ::DecryptMessage(&m_context, &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return;
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        Fail(TlsFailure::Connection, StatusText("DecryptMessage", status));
        return;
      }
      ULONG extra = 0;
      ULONG data = 0;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
          plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
          data += buffer.cbBuffer;
        }
        extra += ExtraBytes(buffer);
      }
      KeepInput(extra);
      // Windows reports close_notify as the context's end; Wine 8 as an alert record that
      // decrypted to nothing (any other alert fails the call there).
      if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert && data == 0)) {
        m_bPeerClosed = true;
        m_state = State::Closed;
        return;
      }
      if (status == SEC_I_RENEGOTIATE) {
        m_bRenegotiating = true;
        Renegotiate(wire, true);
      }
    }
  }

  CredHandle m_credentials;
  CtxtHandle m_context;
  bool m_bHasCredentials = false;
  bool m_bHasContext = false;
  bool m_bRenegotiating = false;            // post-handshake messages are being taken
  SECURITY_STATUS m_stepStatus = SEC_E_OK;  // the status of the step that failed
  SecPkgContext_StreamSizes m_sizes{};
  std::string m_input;  // received bytes; those before m_nInputStart were taken
  std::size_t m_nInputStart = 0;
};

}  // namespace

std::unique_ptr<CTlsChannel> CTlsChannel::Create(const TlsSettings& settings) {
  return std::make_unique<SchannelChannel>(settings);
}

}  // namespace fw
