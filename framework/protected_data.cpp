// Protected secrets: the test seam and the backend's sealing (see protected_data.h).
#include "framework/protected_data.h"

#include <atomic>

#include "framework/backend.h"

namespace fw {
namespace {

std::atomic<bool> g_fails{false};

}  // namespace

bool ProtectData(std::string_view secret, std::string& sealed) {
  sealed.clear();
  if (g_fails.load()) return false;
  if (backend::ProtectForUser(secret, sealed)) return true;
  sealed.clear();
  return false;
}

bool UnprotectData(std::string_view sealed, std::string& secret) {
  secret.clear();
  if (g_fails.load()) return false;
  if (backend::UnprotectForUser(sealed, secret)) return true;
  secret.clear();
  return false;
}

namespace testing {

void SetDataProtectionFails(bool fails) {
  g_fails.store(fails);
}

}  // namespace testing
}  // namespace fw
