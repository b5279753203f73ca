// Fault seams of the posix backend (see fault_injection.h).
#include "framework/posix/fault_injection.h"

#include <array>
#include <mutex>

namespace fw::posix::faults {
namespace {

struct Pending {
  int error = 0;
  int count = 0;
};

std::mutex g_mutex;
std::array<Pending, static_cast<std::size_t>(Op::kCount)> g_pending;

}  // namespace

void FailNext(Op op, int error, int count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_pending[static_cast<std::size_t>(op)] = {error, count};
}

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_pending.fill({});
}

int Take(Op op) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Pending& pending = g_pending[static_cast<std::size_t>(op)];
  if (pending.count <= 0) return 0;
  --pending.count;
  return pending.error;
}

}  // namespace fw::posix::faults
