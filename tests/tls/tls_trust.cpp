// tls_trust.exe add|remove CA.pem: makes the TLS tests' CA a trusted root of the Windows
// certificate store for a test run, and removes it again: the registry store of the local
// machine's Root certificates (Wine's system "Root" store takes additions and deletions only in
// memory). Earlier test CAs of the same name are removed first, so that an interrupted run
// leaves none behind for long.
#include "framework/win32/windows_api.h"

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> ReadDer(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (pem.empty() || !::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             nullptr, &size, nullptr, nullptr)) {
    return {};
  }
  std::vector<BYTE> der(size);
  ::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                         nullptr, nullptr);
  der.resize(size);
  return der;
}

// Deletes every certificate of the store whose subject is `subject`.
void RemoveSubject(HCERTSTORE store, const CERT_NAME_BLOB& subject) {
  for (;;) {
    PCCERT_CONTEXT found =
        ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &subject, nullptr);
    if (found == nullptr) return;
    if (!::CertDeleteCertificateFromStore(found)) return;  // frees `found`
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::string(argv[1]) != "add" && std::string(argv[1]) != "remove")) {
    std::fprintf(stderr, "usage: tls_trust add|remove CA.pem\n");
    return 2;
  }
  const std::vector<BYTE> der = ReadDer(argv[2]);
  PCCERT_CONTEXT ca =
      der.empty() ? nullptr
                  : ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (ca == nullptr) {
    std::fprintf(stderr, "tls_trust: no certificate in %s\n", argv[2]);
    return 1;
  }
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (store == nullptr) {
    std::fprintf(stderr, "tls_trust: the Root store does not open (%lu)\n", ::GetLastError());
    ::CertFreeCertificateContext(ca);
    return 1;
  }
  RemoveSubject(store, ca->pCertInfo->Subject);
  bool ok = true;
  if (std::string(argv[1]) == "add") {
    ok = ::CertAddCertificateContextToStore(store, ca, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    if (!ok) std::fprintf(stderr, "tls_trust: the certificate was not added (%lu)\n", ::GetLastError());
  }
  ::CertCloseStore(store, 0);
  ::CertFreeCertificateContext(ca);
  return ok ? 0 : 1;
}
