// A self-signed certificate for "localhost" and 127.0.0.1 and its key, made at start for the
// benchmarks' TLS sinks; clients trust it by the certificate itself (a PEM file) or its
// SHA-256 fingerprint.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

namespace bench {

struct TlsIdentity {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string fingerprint;  // as fw::FormatFingerprint gives it

  TlsIdentity();
  ~TlsIdentity();
  TlsIdentity(const TlsIdentity&) = delete;
  TlsIdentity& operator=(const TlsIdentity&) = delete;

  // Writes the certificate as PEM; false on failure.
  bool WritePem(const std::string& path) const;
};

}  // namespace bench
