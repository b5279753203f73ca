// Host-name resolution: the dotted-address parser, a blocking lookup, and the asynchronous
// lookup that posts its completion to a window, in the manner of WSAAsyncGetHostByName.
#pragma once

#include <cstdint>

#include "framework/types.h"
#include "framework/wnd.h"

namespace fw {

// The host entry that lookups write into the caller's buffer (the layout of Winsock's
// hostent). Addresses are 4 bytes in network order (first byte first).
struct HostEnt {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};

inline constexpr short kAfInet = 2;
inline constexpr int kMaxGetHostStruct = 1024;
inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;

// inet_addr: the address of a dotted IPv4 text as it lies in memory (first byte first), or
// kInaddrNone when the text is no address (also for "255.255.255.255").
std::uint32_t InetAddr(const char* text);

// gethostbyname, blocking: the IPv4 entry of `name` in storage of the calling thread (valid
// until its next lookup), or null.
const HostEnt* GetHostByName(const char* name);

// WSAAsyncGetHostByName: starts resolving `name` (IPv4) and returns a request handle, or
// null when the lookup cannot be started. When it ends, `message` is posted to `window` with
// wParam = the handle and lParam = (error << 16) | needed length; on success `buffer` holds
// a HostEnt and its data. A cancelled request posts nothing.
HANDLE AsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer, int bufferLength);
// WSACancelAsyncRequest: 0 when the request was cancelled (the buffer is not written and no
// message is posted from now on), else an error code (kWsaEAlready when it has completed: its
// message may still be queued). A lookup belongs to the thread that started it: only that
// thread cancels it, and the end of that thread's loop cancels what is still under way.
int CancelAsyncRequest(HANDLE request);

}  // namespace fw
