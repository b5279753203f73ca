// The benchmarks' self-signed TLS identity.
#include "bench/TlsIdentity.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "framework/tls.h"

namespace bench {

TlsIdentity::TlsIdentity() {
  key = EVP_RSA_gen(2048);
  cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  if (X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1")) {
    X509_add_ext(cert, san, -1);
    X509_EXTENSION_free(san);
  }
  X509_sign(cert, key, EVP_sha256());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), digest, &length);
  fingerprint = fw::FormatFingerprint(digest, length);
}

TlsIdentity::~TlsIdentity() {
  X509_free(cert);
  EVP_PKEY_free(key);
}

bool TlsIdentity::WritePem(const std::string& path) const {
  std::FILE* pem = std::fopen(path.c_str(), "w");
  if (pem == nullptr) return false;
  const bool written = PEM_write_X509(pem, cert) == 1;
  return std::fclose(pem) == 0 && written;
}

}  // namespace bench
