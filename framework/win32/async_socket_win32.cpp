// CAsyncSocket on Win32: Winsock sockets registered with WSAAsyncSelect to one hidden
// message-only window per thread, which hands each notification to the socket object. A
// socket belongs to the thread that created it: only that thread uses and closes it.
//
// Every registration gets its own message number, so that a notification still queued for a
// closed socket cannot reach a new socket that Winsock gave the same handle.
#include "framework/async_socket.h"

#include <atomic>
#include <unordered_map>

#include "framework/owner_thread.h"
#include "framework/win32/async_internal.h"
#include "framework/win32/module_handle.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

// Message numbers for socket notifications: a window-private range, used round robin.
constexpr UINT kFirstSocketMessage = WM_APP + 0x10;
constexpr UINT kLastSocketMessage = 0xBFFF;

// At most this many OnReceive calls drain a connection before its OnClose.
constexpr int kMaxDrainPasses = 4096;

UINT NextSocketMessage() {
  static std::atomic<UINT> next{0};
  return kFirstSocketMessage + next.fetch_add(1) % (kLastSocketMessage - kFirstSocketMessage + 1);
}

struct Registration {
  CAsyncSocket* socket;
  UINT message;
  bool closeDelivered;
};

// The calling thread's notification window and the sockets that the thread created, which
// only it uses (so the table needs no lock, and a socket found in it is not closed by another
// thread before its notification is over). Made at the thread's first Create; the window is
// destroyed when the thread's last socket is closed or when the thread's loop ends, and the
// table when both have happened.
struct SocketWindow {
  ::HWND hwnd = nullptr;
  WNDPROC original = nullptr;
  DWORD threadId = 0;
  bool threadEnded = false;  // after it, sockets left over may be closed on any thread
  int users = 0;
  std::unordered_map<SOCKET, Registration> sockets;

  bool MayUse() const { return threadEnded || threadId == ::GetCurrentThreadId(); }

  CAsyncSocket* Find(SOCKET handle, UINT message) const {
    auto it = sockets.find(handle);
    return it != sockets.end() && it->second.message == message ? it->second.socket : nullptr;
  }
  // Marks the peer's close as delivered; false when the registration is gone or it was.
  bool TakeClose(SOCKET handle, UINT message) {
    auto it = sockets.find(handle);
    if (it == sockets.end() || it->second.message != message || it->second.closeDelivered) return false;
    it->second.closeDelivered = true;
    return true;
  }
  bool CloseDelivered(SOCKET handle, UINT message) const {
    auto it = sockets.find(handle);
    return it != sockets.end() && it->second.message == message && it->second.closeDelivered;
  }
};

thread_local SocketWindow* t_socketWindow = nullptr;

bool PendingBytes(SOCKET handle, u_long& count) {
  count = 0;
  return ::ioctlsocket(handle, FIONREAD, &count) == 0;
}

// Some Winsock implementations (Wine's) report a reset connection as an orderly close. A send
// of nothing tells them apart: it fails only on a connection that was reset.
int ResetError(SOCKET handle) {
  char nothing = 0;
  if (::send(handle, &nothing, 0, 0) != SOCKET_ERROR) return 0;
  const int error = ::WSAGetLastError();
  return error == WSAECONNRESET || error == WSAECONNABORTED ? error : 0;
}

// The peer has closed: the data that is still there goes to OnReceive before OnClose, also
// when Winsock queued FD_CLOSE ahead of the FD_READ for the last bytes. A notification may
// close or destroy the socket: it is looked up again after each.
void DeliverClose(SocketWindow& state, SOCKET handle, UINT message, int error) {
  if (error == 0) {
    for (int pass = 0; pass < kMaxDrainPasses; ++pass) {
      CAsyncSocket* socket = state.Find(handle, message);
      u_long before = 0;
      if (socket == nullptr) return;
      if (!PendingBytes(handle, before) || before == 0) break;
      socket->OnReceive(0);
      u_long after = 0;
      if (state.Find(handle, message) == nullptr) return;
      if (!PendingBytes(handle, after) || after >= before) break;  // the socket takes no more
    }
  }
  if (error == 0) error = ResetError(handle);
  if (!state.TakeClose(handle, message)) return;
  if (CAsyncSocket* socket = state.Find(handle, message)) socket->OnClose(error);
}

void Dispatch(SocketWindow& state, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto handle = static_cast<SOCKET>(wParam);
  CAsyncSocket* socket = state.Find(handle, message);
  if (socket == nullptr) return;  // closed or destroyed meanwhile
  const int error = WSAGETSELECTERROR(lParam);
  switch (WSAGETSELECTEVENT(lParam)) {
    case FD_READ:
      if (!state.CloseDelivered(handle, message)) socket->OnReceive(error);
      break;
    case FD_WRITE:
      socket->OnSend(error);
      break;
    case FD_OOB:
      socket->OnOutOfBandData(error);
      break;
    case FD_ACCEPT:
      socket->OnAccept(error);
      break;
    case FD_CONNECT:
      socket->OnConnect(error);
      break;
    case FD_CLOSE:
      DeliverClose(state, handle, message, error);
      break;
    default:
      break;
  }
}

::LRESULT CALLBACK SocketWindowProc(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  auto* state = reinterpret_cast<SocketWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (state != nullptr && message >= kFirstSocketMessage && message <= kLastSocketMessage) {
    try {
      Dispatch(*state, message, wParam, lParam);
    } catch (...) {
      // Nothing may unwind through the system's dispatch: the notification is dropped.
    }
    return 0;
  }
  return state != nullptr ? ::CallWindowProcA(state->original, window, message, wParam, lParam)
                          : ::DefWindowProcA(window, message, wParam, lParam);
}

// A message-only window of the predefined STATIC class, subclassed: no class of this module
// stays registered with the system after the module is unloaded.
bool CreateSocketWindow(SocketWindow& state) {
  ::HWND window =
      ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, win32::ModuleHandle(), nullptr);
  if (window == nullptr) return false;
  ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
  state.original = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SocketWindowProc)));
  state.hwnd = window;
  return true;
}

void DestroySocketWindow(SocketWindow& state) {
  if (state.hwnd == nullptr) return;
  ::SetWindowLongPtrA(state.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(state.original));
  ::DestroyWindow(state.hwnd);
  state.hwnd = nullptr;
}

SocketWindow* AcquireSocketWindow() {
  SocketWindow* state = t_socketWindow;
  if (state == nullptr) {
    state = new SocketWindow;
    state->threadId = ::GetCurrentThreadId();
    t_socketWindow = state;
  }
  if (state->hwnd == nullptr && !CreateSocketWindow(*state)) {
    if (state->users == 0) {
      t_socketWindow = nullptr;
      delete state;
    }
    return nullptr;
  }
  ++state->users;
  return state;
}

void ReleaseSocketWindow(SocketWindow* state) {
  if (--state->users > 0) return;
  if (!state->threadEnded) {
    DestroySocketWindow(*state);
    t_socketWindow = nullptr;
  }
  delete state;  // after its thread's end the window went with the thread already
}

}  // namespace

namespace win32 {

bool EnsureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

void CloseThreadSocketWindow() {
  SocketWindow* state = t_socketWindow;
  if (state == nullptr) return;
  DestroySocketWindow(*state);
  t_socketWindow = nullptr;
  if (state->users == 0) {
    delete state;
  } else {
    state->threadEnded = true;  // the sockets left over release it
  }
}

}  // namespace win32

struct CAsyncSocket::Impl {
  SOCKET handle = INVALID_SOCKET;
  UINT message = 0;
  SocketWindow* window = nullptr;  // set while created

  bool MayUse() const { return window == nullptr || window->MayUse(); }
};

CAsyncSocket::CAsyncSocket() : m_impl(std::make_unique<Impl>()) {}

CAsyncSocket::~CAsyncSocket() {
  CAsyncSocket::Close();
}

bool CAsyncSocket::Create(UINT port, int type, long eventMask) {
  if (m_impl->handle != INVALID_SOCKET) {
    ::WSASetLastError(WSAEINVAL);
    return false;
  }
  if (!win32::EnsureWinsock()) {
    ::WSASetLastError(WSANOTINITIALISED);
    return false;
  }
  if (type != kSockStream) {
    ::WSASetLastError(WSAESOCKTNOSUPPORT);
    return false;
  }
  SOCKET handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (handle == INVALID_SOCKET) return false;
  const BOOL noDelay = TRUE;
  ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<u_short>(port));
  if (::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int error = ::WSAGetLastError();
    ::closesocket(handle);
    ::WSASetLastError(error);
    return false;
  }

  SocketWindow* window = AcquireSocketWindow();
  if (window == nullptr) {
    ::closesocket(handle);
    ::WSASetLastError(WSAENOBUFS);
    return false;
  }
  const UINT message = NextSocketMessage();
  window->sockets[handle] = Registration{this, message, false};
  if (::WSAAsyncSelect(handle, window->hwnd, message, eventMask) != 0) {
    const int error = ::WSAGetLastError();
    window->sockets.erase(handle);
    ::closesocket(handle);
    ReleaseSocketWindow(window);
    ::WSASetLastError(error);
    return false;
  }
  m_impl->handle = handle;
  m_impl->message = message;
  m_impl->window = window;
  return true;
}

bool CAsyncSocket::IsCreated() const {
  return m_impl->handle != INVALID_SOCKET;
}

bool CAsyncSocket::Connect(const char* address, UINT port) {
  FW_ASSERT_OWNER_THREAD(m_impl->MayUse());
  if (m_impl->handle == INVALID_SOCKET) {
    ::WSASetLastError(WSAENOTSOCK);
    return false;
  }
  const unsigned long host = address != nullptr ? ::inet_addr(address) : INADDR_NONE;
  if (host == INADDR_NONE) {
    ::WSASetLastError(WSAEINVAL);
    return false;
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = host;
  remote.sin_port = htons(static_cast<u_short>(port));
  return ::connect(m_impl->handle, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
}

int CAsyncSocket::Receive(void* buffer, int length, int flags) {
  FW_ASSERT_OWNER_THREAD(m_impl->MayUse());
  if (m_impl->handle == INVALID_SOCKET) {
    ::WSASetLastError(WSAENOTSOCK);
    return kSocketError;
  }
  const int systemFlags = (flags & kMsgPeek) ? MSG_PEEK : 0;
  return ::recv(m_impl->handle, static_cast<char*>(buffer), length, systemFlags);
}

int CAsyncSocket::Send(const void* buffer, int length, int flags) {
  FW_ASSERT_OWNER_THREAD(m_impl->MayUse());
  if (m_impl->handle == INVALID_SOCKET) {
    ::WSASetLastError(WSAENOTSOCK);
    return kSocketError;
  }
  (void)flags;  // no send flag of the interface applies to a stream socket here
  return ::send(m_impl->handle, static_cast<const char*>(buffer), length, 0);
}

void CAsyncSocket::Close() {
  FW_ASSERT_OWNER_THREAD(m_impl->MayUse());
  if (m_impl->handle == INVALID_SOCKET) return;
  if (m_impl->window != nullptr) m_impl->window->sockets.erase(m_impl->handle);
  ::closesocket(m_impl->handle);
  m_impl->handle = INVALID_SOCKET;
  m_impl->message = 0;
  if (m_impl->window != nullptr) ReleaseSocketWindow(m_impl->window);
  m_impl->window = nullptr;
}

bool CAsyncSocket::GetSockName(std::string& address, UINT& port) const {
  FW_ASSERT_OWNER_THREAD(m_impl->MayUse());
  if (m_impl->handle == INVALID_SOCKET) {
    ::WSASetLastError(WSAENOTSOCK);
    return false;
  }
  sockaddr_in local{};
  int length = sizeof local;
  if (::getsockname(m_impl->handle, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) == nullptr) return false;
  address = text;
  port = ntohs(local.sin_port);
  return true;
}

int CAsyncSocket::GetLastError() {
  return ::WSAGetLastError();
}

}  // namespace fw
