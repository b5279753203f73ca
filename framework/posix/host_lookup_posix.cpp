// Host-name resolution of the posix backend: the dotted-address parser, a blocking lookup, and
// the asynchronous lookup that resolves in the calling thread's event loop (c-ares) and posts
// its completion to a window, with the buffer layout and lParam of the Windows call.
//
// A lookup belongs to the thread that started it, and only that thread cancels it. Cancelling
// is immediate, and the end of the thread's loop cancels every lookup still under way, so the
// caller's buffer is never written after either.
#include <algorithm>
#include <cstring>
#include <string>

#include "framework/async_socket.h"
#include "framework/host_lookup.h"
#include "framework/owner_thread.h"
#include "framework/posix/event_loop.h"
#include "framework/posix/fault_injection.h"
#include "framework/posix/net_util.h"
#include "framework/posix/resolver.h"

namespace fw {
namespace {

constexpr int kWsaEAlready = 10037;

using posix::HostData;

std::size_t AlignUp(const char* base, std::size_t offset, std::size_t alignment) {
  const auto address = reinterpret_cast<std::uintptr_t>(base) + offset;
  return offset + (alignment - address % alignment) % alignment;
}

// Lays the entry out in `buffer`: the HostEnt, its alias and address lists, the addresses and
// the name, every pointer into the buffer. Writes only when it fits; returns the length needed.
std::size_t WriteHostEnt(const HostData& data, char* buffer, std::size_t capacity) {
  const std::size_t aliasesAt = AlignUp(buffer, sizeof(HostEnt), alignof(char*));
  const std::size_t addressListAt = aliasesAt + sizeof(char*);
  const std::size_t addressesAt = addressListAt + (data.addresses.size() + 1) * sizeof(char*);
  const std::size_t nameAt = addressesAt + 4 * data.addresses.size();
  const std::size_t needed = nameAt + data.name.size() + 1;
  if (buffer == nullptr || needed > capacity) return needed;

  auto put = [buffer](std::size_t offset, const void* value, std::size_t size) {
    std::memcpy(buffer + offset, value, size);
  };
  char* const noPointer = nullptr;
  put(aliasesAt, &noPointer, sizeof noPointer);
  for (std::size_t i = 0; i < data.addresses.size(); ++i) {
    char* address = buffer + addressesAt + 4 * i;
    put(addressesAt + 4 * i, data.addresses[i].data(), 4);
    put(addressListAt + i * sizeof(char*), &address, sizeof address);
  }
  put(addressListAt + data.addresses.size() * sizeof(char*), &noPointer, sizeof noPointer);
  put(nameAt, data.name.c_str(), data.name.size() + 1);

  HostEnt entry{};
  entry.h_name = buffer + nameAt;
  entry.h_aliases = reinterpret_cast<char**>(buffer + aliasesAt);
  entry.h_addrtype = kAfInet;
  entry.h_length = 4;
  entry.h_addr_list = reinterpret_cast<char**>(buffer + addressListAt);
  put(0, &entry, sizeof entry);
  return needed;
}

}  // namespace

std::uint32_t InetAddr(const char* text) {
  std::uint32_t host;
  if (!posix::ParseDottedIpv4(text, host)) return kInaddrNone;
  const unsigned char bytes[4] = {static_cast<unsigned char>(host >> 24), static_cast<unsigned char>(host >> 16),
                                  static_cast<unsigned char>(host >> 8), static_cast<unsigned char>(host)};
  std::uint32_t inMemory;
  std::memcpy(&inMemory, bytes, 4);
  return inMemory;
}

const HostEnt* GetHostByName(const char* name) {
  alignas(HostEnt) static thread_local char storage[4096];
  if (name == nullptr) {
    posix::SetLastSocketError(kWsaEInval);
    return nullptr;
  }
  HostData data;
  int error = posix::faults::Take(posix::faults::Op::Lookup);
  if (error == 0) error = posix::ResolveNow(name, data);
  if (error == 0 && WriteHostEnt(data, storage, sizeof storage) > sizeof storage) error = kWsaENoBufs;
  if (error != 0) {
    posix::SetLastSocketError(error);
    return nullptr;
  }
  return reinterpret_cast<const HostEnt*>(storage);
}

HANDLE AsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer, int bufferLength) {
  if (name == nullptr || buffer == nullptr || bufferLength < 0) {
    posix::SetLastSocketError(kWsaEInval);
    return nullptr;
  }
  posix::Resolver* resolver = posix::EventLoop::Current().GetResolver();
  if (resolver == nullptr) {
    posix::SetLastSocketError(kWsaENoBufs);
    return nullptr;
  }
  const auto capacity = static_cast<std::size_t>(bufferLength);
  // Runs on this thread, at the earliest from Start itself: the completion is always posted.
  auto complete = [window, message, buffer, capacity](std::uint64_t id, int error, const HostData& data) {
    std::size_t length = 0;
    if (error == 0) {
      length = WriteHostEnt(data, buffer, capacity);
      if (length > capacity) error = kWsaENoBufs;
    }
    const LPARAM lParam =
        static_cast<LPARAM>((static_cast<std::uint32_t>(error) << 16) | std::min<std::size_t>(length, 0xFFFF));
    CWnd::PostMessage(window, message, static_cast<WPARAM>(id), lParam);
  };
  const std::uint64_t id = resolver->Start(name, std::move(complete), posix::faults::Take(posix::faults::Op::Lookup));
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(id));
}

int CancelAsyncRequest(HANDLE request) {
  FW_ASSERT_OWNER_THREAD(debug::MayUse(debug::Owned::kLookup, reinterpret_cast<UINT_PTR>(request)));
  posix::Resolver* resolver = posix::EventLoop::Current().FindResolver();
  if (resolver != nullptr && resolver->Cancel(reinterpret_cast<std::uintptr_t>(request))) return 0;
  posix::SetLastSocketError(kWsaEAlready);
  return kWsaEAlready;
}

}  // namespace fw
