// The objects kept until the module's end (see module_end.h), and the hook that frees them on
// ELF platforms: registered with the C++ run-time before any static object of the module is
// made, it runs after every static destructor of the module.
#include "framework/module_end.h"

#include <mutex>

#if !defined(_WIN32)
extern "C" void* __dso_handle;  // NOLINT(bugprone-reserved-identifier): the C++ ABI's module handle
extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso);
#endif

namespace fw::detail {
namespace {

struct Kept {
  void* object;
  void (*destroy)(void*);
  Kept* next;
};

// Constant-initialised, with trivial destructors: usable before and after every static object.
std::mutex g_mutex;
Kept* g_kept = nullptr;

#if !defined(_WIN32)
void FreeKept(void*) {
  Kept* kept;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    kept = g_kept;
    g_kept = nullptr;
  }
  while (kept != nullptr) {
    Kept* next = kept->next;
    kept->destroy(kept->object);
    delete kept;
    kept = next;
  }
}

// Priority 101: before the module's static objects are made, so that it runs after they end.
__attribute__((constructor(101))) void RegisterModuleEnd() {
  __cxa_atexit(&FreeKept, nullptr, &__dso_handle);
}
#endif

}  // namespace

void KeepUntilModuleEnd(void* object, void (*destroy)(void*)) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_kept = new Kept{object, destroy, g_kept};
}

}  // namespace fw::detail
