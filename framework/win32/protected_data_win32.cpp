// Protected secrets on Windows: DPAPI for the current user, never with a prompt.
#include <cstring>
#include <string>

#include "framework/backend.h"
#include "framework/win32/windows_api.h"

#include <wincrypt.h>

namespace fw::backend {
namespace {

// A DPAPI result, freed with LocalFree.
class Blob {
 public:
  Blob() = default;
  Blob(const Blob&) = delete;
  Blob& operator=(const Blob&) = delete;
  ~Blob() {
    if (m_blob.pbData != nullptr) {
      ::SecureZeroMemory(m_blob.pbData, m_blob.cbData);
      ::LocalFree(m_blob.pbData);
    }
  }
  DATA_BLOB* Receive() { return &m_blob; }
  std::string Bytes() const {
    return m_blob.pbData != nullptr ? std::string(reinterpret_cast<const char*>(m_blob.pbData), m_blob.cbData)
                                    : std::string();
  }

 private:
  DATA_BLOB m_blob{};
};

DATA_BLOB Input(std::string_view bytes) {
  DATA_BLOB blob{};
  blob.cbData = static_cast<DWORD>(bytes.size());
  blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
  return blob;
}

constexpr std::size_t kMaxBytes = 1u << 24;

}  // namespace

bool ProtectForUser(std::string_view secret, std::string& sealed) {
  if (secret.size() > kMaxBytes) return false;
  DATA_BLOB input = Input(secret);
  Blob output;
  if (!::CryptProtectData(&input, L"QBNotifyAddOn", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          output.Receive())) {
    return false;
  }
  sealed = output.Bytes();
  return !sealed.empty();
}

bool UnprotectForUser(std::string_view sealed, std::string& secret) {
  if (sealed.empty() || sealed.size() > kMaxBytes) return false;
  DATA_BLOB input = Input(sealed);
  Blob output;
  if (!::CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, output.Receive())) {
    return false;
  }
  secret = output.Bytes();
  return true;
}

}  // namespace fw::backend
