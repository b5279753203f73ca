// Protected secrets on POSIX systems: AES-256-GCM (OpenSSL) under a per-user key file beside
// the registry database.
//
// Sealed format: version byte 1, a random 12-byte nonce, the ciphertext, the 16-byte tag; the
// version byte is authenticated as additional data. The key file holds 32 random bytes. It is
// made complete under a temporary name (owner-only, O_EXCL) and published with link(), which
// fails when another process published its key first: then that key is used. A key file that
// is not the user's own regular file of 32 bytes, or that others may access, is refused.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "framework/backend.h"
#include "framework/posix/fd_io.h"
#include "framework/posix/user_paths.h"

namespace fw::backend {
namespace {

constexpr unsigned char kFormatVersion = 1;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kKeySize = 32;
constexpr const char* kKeyFileName = "qbnotify.key";

// Key bytes, wiped when they go out of scope.
struct Key {
  std::array<unsigned char, kKeySize> bytes{};
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

std::string KeyFilePath() {
  const std::string registry = posix::RegistryFilePath();
  if (registry.empty()) return {};
  return (std::filesystem::path(registry).parent_path() / kKeyFileName).string();
}

enum class KeyRead { kOk, kMissing, kRefused };

KeyRead ReadKey(const std::string& path, Key& key) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? KeyRead::kMissing : KeyRead::kRefused;
  struct stat info {};
  const bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
                      (info.st_mode & 077) == 0 && info.st_size == static_cast<off_t>(kKeySize) &&
                      posix::ReadAll(fd, key.bytes.data(), key.bytes.size());
  ::close(fd);
  return usable ? KeyRead::kOk : KeyRead::kRefused;
}

// Makes a new key file at `path` unless another process does so first; either way `key` then
// holds the published key.
bool CreateKey(const std::string& path, Key& key) {
  if (!posix::CreatePrivateDirectories(std::filesystem::path(path).parent_path().string())) return false;
  Key fresh;
  std::array<unsigned char, 8> tag{};
  if (RAND_bytes(fresh.bytes.data(), static_cast<int>(fresh.bytes.size())) != 1 ||
      RAND_bytes(tag.data(), static_cast<int>(tag.size())) != 1) {
    return false;
  }
  std::string temporary = path + ".new-";
  for (const unsigned char byte : tag) temporary += "0123456789abcdef"[byte & 0x0F];
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool written = posix::WriteAll(fd, fresh.bytes.data(), fresh.bytes.size()) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  const bool published = written && closed && ::link(temporary.c_str(), path.c_str()) == 0;
  ::unlink(temporary.c_str());
  if (published) {
    key.bytes = fresh.bytes;
    return true;
  }
  return written && closed && errno == EEXIST && ReadKey(path, key) == KeyRead::kOk;
}

bool LoadKey(Key& key, bool create) {
  const std::string path = KeyFilePath();
  if (path.empty()) return false;
  switch (ReadKey(path, key)) {
    case KeyRead::kOk:
      return true;
    case KeyRead::kMissing:
      return create && CreateKey(path, key);
    case KeyRead::kRefused:
      break;
  }
  return false;
}

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

unsigned char* Bytes(std::string& text) {
  return reinterpret_cast<unsigned char*>(text.data());
}

}  // namespace

bool ProtectForUser(std::string_view secret, std::string& sealed) {
  Key key;
  if (secret.size() > INT32_MAX - 64 || !LoadKey(key, true)) return false;
  std::string out(1 + kNonceSize + secret.size() + kTagSize, '\0');
  out[0] = static_cast<char>(kFormatVersion);
  unsigned char* nonce = Bytes(out) + 1;
  unsigned char* cipher = nonce + kNonceSize;
  if (RAND_bytes(nonce, static_cast<int>(kNonceSize)) != 1) return false;

  const CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  int finalLength = 0;
  const bool ok =
      context && EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) == 1 &&
      EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.bytes.data(), nonce) == 1 &&
      EVP_EncryptUpdate(context.get(), nullptr, &length, &kFormatVersion, 1) == 1 &&
      EVP_EncryptUpdate(context.get(), cipher, &length, Bytes(secret), static_cast<int>(secret.size())) == 1 &&
      EVP_EncryptFinal_ex(context.get(), cipher + length, &finalLength) == 1 &&
      static_cast<std::size_t>(length) + static_cast<std::size_t>(finalLength) == secret.size() &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), cipher + secret.size()) == 1;
  if (!ok) return false;
  sealed = std::move(out);
  return true;
}

bool UnprotectForUser(std::string_view sealed, std::string& secret) {
  if (sealed.size() < 1 + kNonceSize + kTagSize || sealed.size() > INT32_MAX ||
      static_cast<unsigned char>(sealed[0]) != kFormatVersion) {
    return false;
  }
  Key key;
  if (!LoadKey(key, false)) return false;
  const unsigned char* nonce = Bytes(sealed) + 1;
  const unsigned char* cipher = nonce + kNonceSize;
  const std::size_t cipherSize = sealed.size() - 1 - kNonceSize - kTagSize;
  std::array<unsigned char, kTagSize> tag{};
  std::copy(cipher + cipherSize, cipher + cipherSize + kTagSize, tag.begin());
  std::string out(cipherSize, '\0');

  const CipherContext context(EVP_CIPHER_CTX_new());
  int length = 0;
  int finalLength = 0;
  const bool ok =
      context && EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) == 1 &&
      EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.bytes.data(), nonce) == 1 &&
      EVP_DecryptUpdate(context.get(), nullptr, &length, &kFormatVersion, 1) == 1 &&
      EVP_DecryptUpdate(context.get(), Bytes(out), &length, cipher, static_cast<int>(cipherSize)) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag.data()) == 1 &&
      EVP_DecryptFinal_ex(context.get(), Bytes(out) + length, &finalLength) == 1 &&
      static_cast<std::size_t>(length) + static_cast<std::size_t>(finalLength) == cipherSize;
  if (!ok) {
    OPENSSL_cleanse(out.data(), out.size());
    return false;
  }
  secret = std::move(out);
  return true;
}

}  // namespace fw::backend
