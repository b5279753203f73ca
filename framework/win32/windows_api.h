// The Windows headers for the win32 backend. The framework's own names (RegOpenKey,
// LoadString, SendMessage, ...) collide with the character-set macros of <windows.h>, so
// those macros are removed here; the backend calls the explicit ...A functions.
#pragma once

// Order matters: winsock2.h before windows.h, shellapi.h after it.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <windows.h>

#include <shellapi.h>

#undef CreateDirectory
#undef GetDlgItemText
#undef SetDlgItemText
#undef ShellExecute
#undef DeleteFile
#undef GetTickCount
#undef LoadString
#undef PostMessage
#undef PostThreadMessage
#undef RegCreateKey
#undef RegDeleteKey
#undef RegDeleteValue
#undef RegEnumKey
#undef RegEnumValue
#undef RegOpenKey
#undef RegQueryValue
#undef RegSetValue
#undef SendMessage
#undef SetTimer
#undef KillTimer
