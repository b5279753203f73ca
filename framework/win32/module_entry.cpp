// The DLL's entry point: attaches the framework when the DLL is loaded (after the C++ run-time
// has constructed the global objects) and detaches it when the DLL is unloaded (before they
// are destroyed). On this backend the portable ModuleEntry object has nothing to do.
#include <string>

#include "framework/app.h"
#include "framework/backend.h"
#include "framework/win32/module_handle.h"
#include "framework/win32/windows_api.h"

namespace {

std::string ModuleFileName(HINSTANCE instance) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameA(instance, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      fw::win32::SetModuleHandle(instance);
      try {
        return fw::backend::AttachModule(ModuleFileName(instance)) ? TRUE : FALSE;
      } catch (...) {
        return FALSE;
      }
    case DLL_PROCESS_DETACH:
      // Does nothing unless the attach succeeded, so the detach that follows a failed attach is harmless.
      try {
        fw::backend::DetachModule(reserved != nullptr);
      } catch (...) {
      }
      return TRUE;
    default:
      return TRUE;
  }
}

namespace fw {

ModuleEntry::ModuleEntry() = default;
ModuleEntry::~ModuleEntry() = default;

}  // namespace fw
