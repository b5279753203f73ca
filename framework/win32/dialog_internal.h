// Shared inside the win32 backend: the modal dialog that owns message boxes.
#pragma once

#include "framework/win32/windows_api.h"

namespace fw::win32 {

// The innermost modal dialog running on the calling thread, or null.
::HWND CurrentModalDialog();

}  // namespace fw::win32
