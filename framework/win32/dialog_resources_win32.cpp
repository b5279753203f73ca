// The dialog-initialisation data of a template, from the module's own resources.
#include <string>

#include "framework/backend.h"
#include "framework/win32/module_handle.h"
#include "framework/win32/windows_api.h"

namespace fw::backend {
namespace {

constexpr WORD kDialogInitType = 240;

}  // namespace

bool LoadDialogInitData(unsigned templateId, std::string& data) {
  data.clear();
  HINSTANCE module = win32::ModuleHandle();
  HRSRC info = ::FindResourceA(module, MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(kDialogInitType));
  if (info == nullptr) return false;
  HGLOBAL block = ::LoadResource(module, info);
  const void* bytes = block != nullptr ? ::LockResource(block) : nullptr;
  if (bytes == nullptr) return false;
  data.assign(static_cast<const char*>(bytes), ::SizeofResource(module, info));
  return true;
}

}  // namespace fw::backend
