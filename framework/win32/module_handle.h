// The module's instance handle for the win32 backend: the DLL's own handle (stored by
// DllMain), or the executable's when the framework is linked into a program.
#pragma once

#include "framework/win32/windows_api.h"

namespace fw::win32 {

HINSTANCE ModuleHandle();

// Called by DllMain when the DLL is attached.
void SetModuleHandle(HINSTANCE instance);

}  // namespace fw::win32
