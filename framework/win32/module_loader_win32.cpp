// Loading a DLL by path and finding its exports.
#include <string>

#include "framework/module_loader.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

std::string SystemMessage(DWORD error) {
  char* text = nullptr;
  DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message(text != nullptr ? text : "", length);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

}  // namespace

bool LoadedModule::Load(const std::string& path, std::string& error) {
  Unload();
  // No "cannot find the module" message box for a missing drive or dependency.
  DWORD previousMode = 0;
  const bool modeSet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
  HMODULE module = ::LoadLibraryA(path.c_str());
  const DWORD code = ::GetLastError();
  if (modeSet) ::SetThreadErrorMode(previousMode, nullptr);
  if (module == nullptr) {
    std::string message = SystemMessage(code);
    error = "LoadLibrary(\"" + path + "\") failed with error " + std::to_string(code);
    if (!message.empty()) error += ": " + message;
    return false;
  }
  m_handle = module;
  error.clear();
  return true;
}

void* LoadedModule::GetProc(const char* name) const {
  if (m_handle == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

void LoadedModule::Unload() {
  if (m_handle == nullptr) return;
  ::FreeLibrary(static_cast<HMODULE>(m_handle));
  m_handle = nullptr;
}

}  // namespace fw
