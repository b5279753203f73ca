// Icons of the module's own resources on Win32.
#include "framework/icon.h"
#include "framework/win32/module_handle.h"
#include "framework/win32/windows_api.h"

namespace fw {

HICON LoadIconImage(UINT id, int width, int height) {
  return reinterpret_cast<HICON>(
      ::LoadImageA(win32::ModuleHandle(), MAKEINTRESOURCEA(id), IMAGE_ICON, width, height, LR_DEFAULTCOLOR));
}

void DestroyIcon(HICON icon) {
  if (icon != nullptr) ::DestroyIcon(reinterpret_cast<::HICON>(icon));
}

}  // namespace fw
