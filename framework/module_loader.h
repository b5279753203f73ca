// Loading a module (DLL or shared object) by path and finding its exports: the host side of
// the add-on interface.
#pragma once

#include <string>

namespace fw {

class LoadedModule {
 public:
  LoadedModule() = default;
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  ~LoadedModule() { Unload(); }

  // Loads the module; on failure returns false and describes why in `error`.
  bool Load(const std::string& path, std::string& error);
  // The address of an export, or null.
  void* GetProc(const char* name) const;
  // Unloads the module (its detach runs). Harmless when nothing is loaded.
  void Unload();
  bool IsLoaded() const { return m_handle != nullptr; }

 private:
  void* m_handle = nullptr;
};

}  // namespace fw
