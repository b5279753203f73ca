// CTlsChannel of the posix backend: OpenSSL 3. The SSL object talks to a BIO of our own that
// reads from the bytes of the current Receive call and appends what it writes to the caller's
// wire buffer, so records are written once into the buffer that goes to the socket. The
// trust store is OpenSSL's default (SSL_CERT_FILE / SSL_CERT_DIR or the system's), loaded once
// per process; the server name is checked by OpenSSL's host or IP check; a pinned fingerprint
// overrides only the errors that say the chain does not reach a trusted root.
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

#include "framework/tls.h"

// Allocations kept for the life of the process, which the leak checker is told of.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define QB_PROCESS_LIFETIME_ALLOCATIONS __lsan::ScopedDisabler processLifetime
#else
#define QB_PROCESS_LIFETIME_ALLOCATIONS (void)0
#endif

namespace fw {
namespace {

// Plaintext taken from OpenSSL per read call.
constexpr std::size_t kReadPiece = 16384;

// Errors that only say the chain does not reach a trusted root: a pin may override them.
bool IsChainTrustError(int error) {
  switch (error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return true;
    default:
      return false;
  }
}

TlsFailure CertificateFailure(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return TlsFailure::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TlsFailure::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TlsFailure::NameMismatch;
    case X509_V_ERR_CERT_REVOKED:
      return TlsFailure::Revoked;
    default:
      return TlsFailure::Untrusted;
  }
}

// Seconds since 1970 of a certificate time; 0 when it cannot be read.
std::int64_t UnixTime(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return 0;
  // Days from the civil date (proleptic Gregorian), without the local zone.
  const int year = tm.tm_year + 1900 - (tm.tm_mon < 2 ? 1 : 0);
  const int era = (year >= 0 ? year : year - 399) / 400;
  const int yearOfEra = year - era * 400;
  const int month = tm.tm_mon + 1;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
  return days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

std::string NameText(const X509_NAME* name) {
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return {};
  const unsigned long flags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN | ASN1_STRFLGS_RFC2253;
  std::string text;
  if (X509_NAME_print_ex(out, name, 0, flags) >= 0) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    if (length > 0) text.assign(data, static_cast<std::size_t>(length));
  }
  BIO_free(out);
  return text;
}

TlsCertificateInfo CertificateInfo(X509* cert) {
  TlsCertificateInfo info;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &length) != 1) return info;
  info.subject = NameText(X509_get_subject_name(cert));
  info.issuer = NameText(X509_get_issuer_name(cert));
  info.notBefore = UnixTime(X509_get0_notBefore(cert));
  info.notAfter = UnixTime(X509_get0_notAfter(cert));
  info.fingerprint = FormatFingerprint(digest, length);
  return info;
}

// The last OpenSSL error of this thread as text ("unsupported protocol"), or `fallback`.
std::string LastErrorText(const char* fallback) {
  const unsigned long error = ERR_peek_last_error();
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  return reason != nullptr ? reason : fallback;
}

class OpenSslChannel final : public CTlsChannel {
 public:
  explicit OpenSslChannel(const TlsSettings& settings) : CTlsChannel(settings) { ++LiveChannels(); }

  ~OpenSslChannel() override {
    SSL_free(m_ssl);  // frees the BIO too
    // With the last channel, OpenSSL's state of this thread goes too (its error queue): the
    // thread may belong to a module that is unloaded before the thread's end frees it.
    if (--LiveChannels() == 0) OPENSSL_thread_stop();
  }

  void Start(std::string& wire) override {
    if (m_state != State::Handshake || m_ssl != nullptr) return;
    ERR_clear_error();
    if (!Setup()) {
      Fail(TlsFailure::Handshake, LastErrorText("the TLS library could not be set up"));
      return;
    }
    Io io(*this, nullptr, 0, wire);
    Handshake();
  }

  void Receive(const char* data, std::size_t length, std::string& plain, std::string& wire) override {
    if (m_ssl == nullptr || m_state == State::Failed) return;
    Io io(*this, data, length, wire);
    if (m_state == State::Handshake) Handshake();
    if (m_state == State::Open || m_state == State::Closed) ReadPlain(plain);
  }

  bool Encrypt(const char* data, std::size_t length, std::string& wire) override {
    if (m_state != State::Open) return false;
    if (length == 0) return true;
    Io io(*this, nullptr, 0, wire);
    ERR_clear_error();
    std::size_t written = 0;
    // The BIO takes everything, so a write completes in one call.
    if (SSL_write_ex(m_ssl, data, length, &written) == 1 && written == length) return true;
    Fail(TlsFailure::Connection, LastErrorText("encryption failed"));
    return false;
  }

  bool Shutdown(std::string& wire) override {
    if (m_state != State::Open) return false;
    Io io(*this, nullptr, 0, wire);
    ERR_clear_error();
    m_state = State::Closed;
    return SSL_shutdown(m_ssl) >= 0;
  }

 private:
  // Points the BIO at the bytes and the wire buffer of one call.
  class Io {
   public:
    Io(OpenSslChannel& channel, const char* data, std::size_t length, std::string& wire) : m_channel(channel) {
      channel.m_pInput = data;
      channel.m_nInput = length;
      channel.m_pWire = &wire;
    }
    ~Io() {
      m_channel.m_pInput = nullptr;
      m_channel.m_nInput = 0;
      m_channel.m_pWire = nullptr;
    }
    Io(const Io&) = delete;
    Io& operator=(const Io&) = delete;

   private:
    OpenSslChannel& m_channel;
  };

  bool Setup() {
    if (m_settings.serverName.empty()) return false;
    SSL_CTX* context = ClientContext();
    if (context == nullptr) return false;
    m_ssl = SSL_new(context);
    if (m_ssl == nullptr) return false;
    SSL_set_app_data(m_ssl, this);

    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
    unsigned char address[4];
    if (ParseIpv4Literal(m_settings.serverName, address)) {
      if (X509_VERIFY_PARAM_set1_ip(param, address, sizeof address) != 1) return false;
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (X509_VERIFY_PARAM_set1_host(param, m_settings.serverName.c_str(), 0) != 1) return false;
      if (SSL_set_tlsext_host_name(m_ssl, m_settings.serverName.c_str()) != 1) return false;
    }

    BIO* bio = BIO_new(BioMethod());
    if (bio == nullptr) return false;
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_connect_state(m_ssl);
    return true;
  }

  void Handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
      m_state = State::Open;
      m_protocol = SSL_get_version(m_ssl);
      const SSL_CIPHER* cipher = SSL_get_current_cipher(m_ssl);
      const char* name = cipher != nullptr ? SSL_CIPHER_standard_name(cipher) : nullptr;
      m_cipher = name != nullptr ? name : (cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "");
      if (!HasCertificate()) {
        if (X509* cert = SSL_get0_peer_certificate(m_ssl)) m_certificate = CertificateInfo(cert);
      }
      return;
    }
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
    if (m_certFailure != TlsFailure::None) {
      Fail(m_certFailure, m_certFailureDetail);
    } else {
      Fail(TlsFailure::Handshake, LastErrorText("handshake failed"));
    }
  }

  void ReadPlain(std::string& plain) {
    for (;;) {
      ERR_clear_error();
      const std::size_t before = plain.size();
      plain.resize(before + std::max<std::size_t>(kReadPiece, static_cast<std::size_t>(SSL_pending(m_ssl))));
      std::size_t count = 0;
      const int result = SSL_read_ex(m_ssl, plain.data() + before, plain.size() - before, &count);
      plain.resize(before + (result == 1 ? count : 0));
      if (result == 1) continue;
      const int error = SSL_get_error(m_ssl, result);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
      if (error == SSL_ERROR_ZERO_RETURN) {
        m_bPeerClosed = true;
        m_state = State::Closed;
        return;
      }
      Fail(TlsFailure::Connection, LastErrorText("decryption failed"));
      return;
    }
  }

  int Verify(int preverified, X509_STORE_CTX* store) {
    if (!HasCertificate()) {
      if (X509* leaf = X509_STORE_CTX_get0_cert(store)) m_certificate = CertificateInfo(leaf);
    }
    if (preverified == 1) return 1;
    const int error = X509_STORE_CTX_get_error(store);
    if (IsChainTrustError(error)) {
      if (PinMatches()) return 1;
      NoteCertificateFailure(UntrustedFailure(), X509_verify_cert_error_string(error));
      return 0;
    }
    NoteCertificateFailure(CertificateFailure(error), X509_verify_cert_error_string(error));
    return 0;
  }

  // The settings every channel shares, with the trust store loaded once for the process: TLS 1.2
  // or later, the peer verified through VerifyCallback. Null when it cannot be made.
  static SSL_CTX* ClientContext() {
    static SSL_CTX* const context = [] {
      // Made once and kept: a module that is unloaded leaves it behind (the channels of its
      // jobs may still hold it), which the leak checker is told.
      QB_PROCESS_LIFETIME_ALLOCATIONS;
      SSL_CTX* made = SSL_CTX_new(TLS_client_method());
      if (made == nullptr) return made;
      SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
      SSL_CTX_set_verify(made, SSL_VERIFY_PEER, &OpenSslChannel::VerifyCallback);
      SSL_CTX_set_read_ahead(made, 1);
      if (SSL_CTX_set_default_verify_paths(made) != 1) {
        SSL_CTX_free(made);
        return static_cast<SSL_CTX*>(nullptr);
      }
      return made;
    }();
    return context;
  }

  static int VerifyCallback(int preverified, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* channel = ssl != nullptr ? static_cast<OpenSslChannel*>(SSL_get_app_data(ssl)) : nullptr;
    return channel != nullptr ? channel->Verify(preverified, store) : 0;
  }

  // The BIO: reads the current call's bytes, appends writes to the current wire buffer.
  static int BioWrite(BIO* bio, const char* data, std::size_t length, std::size_t* written) {
    auto* channel = static_cast<OpenSslChannel*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (channel == nullptr || channel->m_pWire == nullptr) {
      BIO_set_retry_write(bio);
      return 0;
    }
    channel->m_pWire->append(data, length);
    *written = length;
    return 1;
  }

  static int BioRead(BIO* bio, char* data, std::size_t length, std::size_t* read) {
    auto* channel = static_cast<OpenSslChannel*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (channel == nullptr || channel->m_nInput == 0) {
      BIO_set_retry_read(bio);
      return 0;
    }
    const std::size_t count = std::min(length, channel->m_nInput);
    std::memcpy(data, channel->m_pInput, count);
    channel->m_pInput += count;
    channel->m_nInput -= count;
    *read = count;
    return 1;
  }

  static long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

  static BIO_METHOD* BioMethod() {
    // One method table for the process, made on first use and kept.
    static BIO_METHOD* const method = [] {
      QB_PROCESS_LIFETIME_ALLOCATIONS;
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qbnotify tls wire");
      if (m != nullptr) {
        BIO_meth_set_write_ex(m, &OpenSslChannel::BioWrite);
        BIO_meth_set_read_ex(m, &OpenSslChannel::BioRead);
        BIO_meth_set_ctrl(m, &OpenSslChannel::BioControl);
      }
      return m;
    }();
    return method;
  }

  static std::atomic<int>& LiveChannels() {
    static std::atomic<int> count{0};
    return count;
  }

  SSL* m_ssl = nullptr;
  const char* m_pInput = nullptr;  // the current Receive's bytes not taken yet
  std::size_t m_nInput = 0;
  std::string* m_pWire = nullptr;  // the current call's wire buffer
};

}  // namespace

std::unique_ptr<CTlsChannel> CTlsChannel::Create(const TlsSettings& settings) {
  return std::make_unique<OpenSslChannel>(settings);
}

}  // namespace fw
