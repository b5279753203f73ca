// Debug-build bookkeeping for the owner-thread rule (see owner_thread.h).
#include "framework/owner_thread.h"

#include "framework/module_end.h"

#if !defined(NDEBUG)
#include <mutex>
#include <thread>
#include <unordered_map>
#endif

namespace fw::debug {

#if defined(NDEBUG)

void Claim(Owned, UINT_PTR) {}
void Forget(Owned, UINT_PTR) {}
bool MayUse(Owned, UINT_PTR) {
  return true;
}

#else

namespace {

struct Owners {
  std::mutex mutex;
  std::unordered_map<UINT_PTR, std::thread::id> byKind[2];
};

// Never destroyed: timers and lookups may end while the process ends.
std::unordered_map<UINT_PTR, std::thread::id>& OwnersOf(Owned kind, std::unique_lock<std::mutex>& lock) {
  static auto* owners = KeepUntilModuleEnd(new Owners);
  lock = std::unique_lock<std::mutex>(owners->mutex);
  return owners->byKind[kind == Owned::kTimer ? 0 : 1];
}

}  // namespace

void Claim(Owned kind, UINT_PTR id) {
  std::unique_lock<std::mutex> lock;
  OwnersOf(kind, lock)[id] = std::this_thread::get_id();
}

void Forget(Owned kind, UINT_PTR id) {
  std::unique_lock<std::mutex> lock;
  OwnersOf(kind, lock).erase(id);
}

bool MayUse(Owned kind, UINT_PTR id) {
  std::unique_lock<std::mutex> lock;
  const auto& owners = OwnersOf(kind, lock);
  const auto it = owners.find(id);
  return it == owners.end() || it->second == std::this_thread::get_id();
}

#endif

}  // namespace fw::debug
