// Module entry of ELF modules: finds the file that holds this copy of the framework and runs
// the application object's attach and detach through the portable part.
#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "framework/app.h"
#include "framework/backend.h"

namespace fw {
namespace {

std::string RealPath(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// The absolute path of the shared object (or program) that contains this function.
std::string OwnModulePath() {
  Dl_info info{};
#if defined(__GLIBC__)
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&OwnModulePath), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
    return {};
  }
  // The program itself has an empty name in the link map.
  if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') return RealPath("/proc/self/exe");
  return RealPath(map->l_name);
#else
  if (dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || info.dli_fname == nullptr) return {};
  return RealPath(info.dli_fname);
#endif
}

}  // namespace

ModuleEntry::ModuleEntry() {
  try {
    backend::AttachModule(OwnModulePath());
  } catch (...) {
    // A static initialiser must not throw; the module then runs without a known path.
  }
}

ModuleEntry::~ModuleEntry() {
  backend::DetachModule(false);
}

}  // namespace fw
