// Loading shared objects with dlopen for the host side of the add-on interface.
#include <dlfcn.h>

#include "framework/filesystem.h"
#include "framework/module_loader.h"

namespace fw {

bool LoadedModule::Load(const std::string& path, std::string& error) {
  Unload();
  error.clear();
  if (path.empty()) {
    error = "no module path given";
    return false;
  }
  // A bare file name means the file in the current directory, not a library search.
  const std::string target = (path.find('/') == std::string::npos && PathExists(path)) ? "./" + path : path;
  dlerror();
  m_handle = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle == nullptr) {
    const char* message = dlerror();
    error = message != nullptr ? message : "cannot load " + path;
    return false;
  }
  return true;
}

void* LoadedModule::GetProc(const char* name) const {
  if (m_handle == nullptr || name == nullptr) return nullptr;
  return ::dlsym(m_handle, name);
}

void LoadedModule::Unload() {
  if (m_handle == nullptr) return;
  ::dlclose(m_handle);
  m_handle = nullptr;
}

}  // namespace fw
