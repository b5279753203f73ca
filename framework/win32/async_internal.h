// Links between the win32 backend's thread, window, socket and host-lookup parts. Only those
// backend sources include this header.
#pragma once

#include "framework/win32/windows_api.h"

namespace fw::win32 {

// Starts Winsock once per process, on first use (never from DllMain). False when it failed;
// socket calls then fail with WSANOTINITIALISED.
bool EnsureWinsock();

// Destroys the calling thread's socket notification window, if it has one. A thread with a
// message loop calls this before it ends, so that no window of it outlives the module's code.
void CloseThreadSocketWindow();

// The private message that Winsock posts to a framework window when a host lookup started by
// AsyncGetHostByName completes; the window procedure hands it to DeliverLookup, which fills
// the caller's buffer and sends the caller's own message to the window.
UINT LookupRelayMessage();
void DeliverLookup(::HWND window, ::WPARAM request, ::LPARAM reply);

}  // namespace fw::win32
