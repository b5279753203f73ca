// The module's instance handle: set by DllMain in a DLL; a program uses its own.
#include "framework/win32/module_handle.h"

#include <atomic>

namespace fw::win32 {
namespace {

std::atomic<HINSTANCE> g_instance{nullptr};

}  // namespace

HINSTANCE ModuleHandle() {
  HINSTANCE instance = g_instance.load(std::memory_order_acquire);
  return instance != nullptr ? instance : ::GetModuleHandleA(nullptr);
}

void SetModuleHandle(HINSTANCE instance) {
  g_instance.store(instance, std::memory_order_release);
}

}  // namespace fw::win32
