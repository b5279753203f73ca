// Host-name resolution on Win32: inet_addr, gethostbyname, and WSAAsyncGetHostByName.
//
// An asynchronous lookup does not let Winsock write into the caller's buffer: Winsock fills a
// buffer of the request's own and posts a private message to the caller's window (a framework
// window), whose procedure (wnd_win32.cpp) hands it to DeliverLookup on the window's thread.
// Only there is the caller's buffer filled and the caller's message sent, and only for a
// request that was not cancelled. So once CancelAsyncRequest returned 0 the caller's buffer is
// never touched, also where WSACancelAsyncRequest cancels nothing (Wine). A lookup belongs to
// the thread that started it (its window's thread): only that thread cancels it.
#include "framework/host_lookup.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "framework/async_socket.h"
#include "framework/owner_thread.h"
#include "framework/win32/async_internal.h"
#include "framework/win32/windows_api.h"

namespace fw {

static_assert(sizeof(HostEnt) == sizeof(hostent) && offsetof(HostEnt, h_name) == offsetof(hostent, h_name) &&
                  offsetof(HostEnt, h_aliases) == offsetof(hostent, h_aliases) &&
                  offsetof(HostEnt, h_addrtype) == offsetof(hostent, h_addrtype) &&
                  offsetof(HostEnt, h_length) == offsetof(hostent, h_length) &&
                  offsetof(HostEnt, h_addr_list) == offsetof(hostent, h_addr_list),
              "HostEnt must have the layout of Winsock's hostent");

namespace {

constexpr int kRequestBufferSize = 4096;

std::size_t CountOf(char* const* list) {
  std::size_t count = 0;
  while (list != nullptr && list[count] != nullptr) ++count;
  return count;
}

std::size_t AlignUp(std::size_t offset) {
  constexpr std::size_t alignment = alignof(char*);
  return (offset + alignment - 1) / alignment * alignment;
}

// Lays out an IPv4 host entry in `buffer` as Winsock does: the HostEnt, the alias and address
// pointer lists, the addresses, then the texts, every pointer pointing into the buffer. Takes
// the first `aliases` aliases and `addresses` addresses of `source`. Returns the bytes needed;
// writes only when they fit in `capacity`.
std::size_t LayOutHostEnt(const hostent& source, std::size_t aliases, std::size_t addresses, char* buffer,
                          std::size_t capacity) {
  const char* name = source.h_name != nullptr ? source.h_name : "";
  const std::size_t aliasListAt = AlignUp(sizeof(HostEnt));
  const std::size_t addressListAt = aliasListAt + (aliases + 1) * sizeof(char*);
  const std::size_t addressesAt = addressListAt + (addresses + 1) * sizeof(char*);
  const std::size_t nameAt = addressesAt + addresses * 4;
  std::size_t needed = nameAt + std::strlen(name) + 1;
  for (std::size_t i = 0; i < aliases; ++i) needed += std::strlen(source.h_aliases[i]) + 1;
  if (needed > capacity) return needed;

  auto putPointer = [buffer](std::size_t at, char* value) { std::memcpy(buffer + at, &value, sizeof value); };
  std::size_t textAt = nameAt;
  auto putText = [buffer, &textAt](const char* text) {
    char* placed = buffer + textAt;
    const std::size_t length = std::strlen(text) + 1;
    std::memcpy(placed, text, length);
    textAt += length;
    return placed;
  };

  HostEnt entry{};
  entry.h_name = putText(name);
  entry.h_aliases = reinterpret_cast<char**>(buffer + aliasListAt);
  entry.h_addrtype = kAfInet;
  entry.h_length = 4;
  entry.h_addr_list = reinterpret_cast<char**>(buffer + addressListAt);
  std::memcpy(buffer, &entry, sizeof entry);
  for (std::size_t i = 0; i < aliases; ++i) putPointer(aliasListAt + i * sizeof(char*), putText(source.h_aliases[i]));
  putPointer(aliasListAt + aliases * sizeof(char*), nullptr);
  for (std::size_t i = 0; i < addresses; ++i) {
    char* placed = buffer + addressesAt + i * 4;
    std::memcpy(placed, source.h_addr_list[i], 4);
    putPointer(addressListAt + i * sizeof(char*), placed);
  }
  putPointer(addressListAt + addresses * sizeof(char*), nullptr);
  return needed;
}

bool IsIpv4(const hostent& entry) {
  return entry.h_addrtype == AF_INET && entry.h_length == 4;
}

// One asynchronous lookup. Its buffer is Winsock's to write until the completion arrives, so
// a request whose completion never comes is kept rather than freed.
struct Request {
  DWORD ownerThread;
  ::HWND window;
  UINT message;
  char* callerBuffer;
  int callerLength;
  bool cancelled = false;
  std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kRequestBufferSize);
};

// The requests in flight, by handle. Never destroyed, like the requests it holds.
std::mutex& RequestsMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::unordered_map<HANDLE, Request*>& Requests() {
  static auto* requests = new std::unordered_map<HANDLE, Request*>;
  return *requests;
}

}  // namespace

namespace win32 {

UINT LookupRelayMessage() {
  static const UINT message = ::RegisterWindowMessageA("QBNotify.Framework.HostLookupDone");
  return message;
}

void DeliverLookup(::HWND window, ::WPARAM requestHandle, ::LPARAM reply) {
  const auto handle = reinterpret_cast<HANDLE>(requestHandle);
  std::unique_ptr<Request> request;
  {
    std::lock_guard<std::mutex> lock(RequestsMutex());
    auto it = Requests().find(handle);
    if (it == Requests().end()) return;
    request.reset(it->second);
    Requests().erase(it);
  }
  if (request->cancelled) return;

  int error = WSAGETASYNCERROR(reply);
  std::size_t needed = WSAGETASYNCBUFLEN(reply);
  if (error == 0) {
    const auto& entry = *reinterpret_cast<const hostent*>(request->buffer.get());
    if (!IsIpv4(entry)) {
      error = WSANO_DATA;
      needed = 0;
    } else {
      needed = LayOutHostEnt(entry, CountOf(entry.h_aliases), CountOf(entry.h_addr_list), request->callerBuffer,
                             static_cast<std::size_t>(request->callerLength));
      if (needed > static_cast<std::size_t>(request->callerLength)) error = WSAENOBUFS;
    }
  }
  const LPARAM callerReply = WSAMAKEASYNCREPLY(static_cast<WORD>(needed > 0xFFFF ? 0xFFFF : needed), error);
  ::SendMessageA(window, request->message, requestHandle, callerReply);
}

}  // namespace win32

std::uint32_t InetAddr(const char* text) {
  if (text == nullptr || !win32::EnsureWinsock()) return kInaddrNone;
  return static_cast<std::uint32_t>(::inet_addr(text));
}

const HostEnt* GetHostByName(const char* name) {
  alignas(HostEnt) static thread_local char storage[kRequestBufferSize];
  if (name == nullptr || !win32::EnsureWinsock()) return nullptr;
  const hostent* entry = ::gethostbyname(name);
  if (entry == nullptr || !IsIpv4(*entry)) return nullptr;
  // Copied at once: Winsock's own copy lasts only until the thread's next Winsock call. An
  // entry too large for the storage loses its aliases, then its last addresses.
  std::size_t aliases = CountOf(entry->h_aliases);
  std::size_t addresses = CountOf(entry->h_addr_list);
  while (LayOutHostEnt(*entry, aliases, addresses, storage, sizeof storage) > sizeof storage) {
    if (aliases > 0) {
      aliases = 0;
    } else if (addresses > 1) {
      --addresses;
    } else {
      return nullptr;
    }
  }
  return reinterpret_cast<const HostEnt*>(storage);
}

HANDLE AsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer, int bufferLength) {
  if (window == nullptr || name == nullptr || buffer == nullptr || bufferLength < 0) {
    ::WSASetLastError(WSAEINVAL);
    return nullptr;
  }
  if (!win32::EnsureWinsock()) {
    ::WSASetLastError(WSANOTINITIALISED);
    return nullptr;
  }
  auto request = std::make_unique<Request>();
  request->ownerThread = ::GetCurrentThreadId();
  request->window = reinterpret_cast<::HWND>(window);
  request->message = message;
  request->callerBuffer = buffer;
  request->callerLength = bufferLength;

  // Registered under the lock that the completion takes first, so that a completion on
  // another thread cannot arrive before its request is known.
  std::lock_guard<std::mutex> lock(RequestsMutex());
  HANDLE handle = ::WSAAsyncGetHostByName(request->window, win32::LookupRelayMessage(), name, request->buffer.get(),
                                          kRequestBufferSize);
  if (handle == nullptr) return nullptr;
  auto [it, inserted] = Requests().try_emplace(handle, request.get());
  if (!inserted) it->second = request.get();  // an older request with this handle never completed
  request.release();
  return handle;
}

int CancelAsyncRequest(HANDLE requestHandle) {
  {
    std::lock_guard<std::mutex> lock(RequestsMutex());
    auto it = Requests().find(requestHandle);
    if (it == Requests().end() || it->second->cancelled) return WSAEALREADY;
    FW_ASSERT_OWNER_THREAD(it->second->ownerThread == ::GetCurrentThreadId());
    it->second->cancelled = true;
  }
  // Whatever Winsock answers, the request is dead for its caller: its completion, if any
  // comes, only frees it.
  ::WSACancelAsyncRequest(requestHandle);
  return 0;
}

}  // namespace fw
