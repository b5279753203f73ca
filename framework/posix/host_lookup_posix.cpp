// Host-name resolution of the posix backend: the dotted-address parser, a blocking lookup, and
// the asynchronous lookup that resolves on a helper thread of the calling thread's loop and
// posts its completion to a window, with the buffer layout and lParam of the Windows call.
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/async_socket.h"
#include "framework/host_lookup.h"
#include "framework/posix/event_loop.h"
#include "framework/posix/fault_injection.h"
#include "framework/posix/net_util.h"

namespace fw {
namespace {

constexpr int kWsaEAlready = 10037;
// The most addresses and the longest name that a host entry carries.
constexpr std::size_t kMaxAddresses = 35;
constexpr std::size_t kMaxNameLength = 1024;

struct HostData {
  std::string name;
  std::vector<std::array<unsigned char, 4>> addresses;
};

int WinsockErrorFromGai(int error) {
  switch (error) {
    case EAI_NONAME:
      return kWsaHostNotFound;
#if defined(EAI_NODATA)
    case EAI_NODATA:
#endif
#if defined(EAI_ADDRFAMILY)
    case EAI_ADDRFAMILY:
#endif
      return kWsaNoData;
    case EAI_AGAIN:
      return kWsaTryAgain;
    case EAI_MEMORY:
      return kWsaENoBufs;
    default:
      return kWsaNoRecovery;
  }
}

// Blocking IPv4 resolution; 0 or a Winsock error.
int Resolve(const std::string& name, HostData& data) {
  if (name.empty() || name.size() > kMaxNameLength) return kWsaHostNotFound;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* result = nullptr;
  const int status = getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (status != 0) return WinsockErrorFromGai(status);
  data.name = name;
  if (result->ai_canonname != nullptr && std::strlen(result->ai_canonname) <= kMaxNameLength) {
    data.name = result->ai_canonname;
  }
  for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    std::array<unsigned char, 4> bytes;
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, 4);
    if (std::find(data.addresses.begin(), data.addresses.end(), bytes) == data.addresses.end() &&
        data.addresses.size() < kMaxAddresses) {
      data.addresses.push_back(bytes);
    }
  }
  freeaddrinfo(result);
  return data.addresses.empty() ? kWsaNoData : 0;
}

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

// One asynchronous lookup. The helper thread writes the caller's buffer and posts the
// completion under `mutex`, and only while the request is not cancelled.
struct Request {
  enum class State { Running, Cancelled, Done };
  std::mutex mutex;
  State state = State::Running;
  HWND window;
  UINT message;
  char* buffer;
  std::size_t capacity;
  std::string name;
  int injectedError;
  HANDLE handle = nullptr;
};

struct RequestTable {
  std::mutex mutex;
  std::unordered_map<HANDLE, std::shared_ptr<Request>> requests;
  std::uintptr_t lastHandle = 0x20000;
};

RequestTable& Requests() {
  static RequestTable* table = new RequestTable;
  return *table;
}

void Forget(HANDLE handle) {
  RequestTable& table = Requests();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.requests.erase(handle);
}

// 0 when the request will deliver nothing, else why it could not be cancelled.
int Cancel(Request& request) {
  std::lock_guard<std::mutex> lock(request.mutex);
  if (request.state == Request::State::Done) return kWsaEAlready;
  request.state = Request::State::Cancelled;
  return 0;
}

void Complete(const std::shared_ptr<Request>& request) {
  HostData data;
  int error = request->injectedError != 0 ? request->injectedError : Resolve(request->name, data);
  {
    std::lock_guard<std::mutex> lock(request->mutex);
    if (request->state == Request::State::Running) {
      std::size_t length = 0;
      if (error == 0) {
        length = WriteHostEnt(data, request->buffer, request->capacity);
        if (length > request->capacity) error = kWsaENoBufs;
      }
      request->state = Request::State::Done;
      const LPARAM lParam =
          static_cast<LPARAM>((static_cast<std::uint32_t>(error) << 16) | (std::min<std::size_t>(length, 0xFFFF)));
      CWnd::PostMessage(request->window, request->message, reinterpret_cast<WPARAM>(request->handle), lParam);
    }
  }
  Forget(request->handle);
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
  if (error == 0) error = Resolve(name, data);
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
  auto request = std::make_shared<Request>();
  request->window = window;
  request->message = message;
  request->buffer = buffer;
  request->capacity = static_cast<std::size_t>(bufferLength);
  request->name = name;
  request->injectedError = posix::faults::Take(posix::faults::Op::Lookup);
  {
    RequestTable& table = Requests();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.lastHandle += 0x10;
    request->handle = reinterpret_cast<HANDLE>(table.lastHandle);
    table.requests.emplace(request->handle, request);
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread helper;
  try {
    helper = std::thread([request, finished] {
      Complete(request);
      finished->store(true);
    });
  } catch (...) {
    Forget(request->handle);
    posix::SetLastSocketError(kWsaENoBufs);
    return nullptr;
  }
  // Lookups still running when this thread ends are cancelled and waited for then.
  posix::EventLoop::Current().AddHelper(
      std::move(helper), [request] { Cancel(*request); }, finished);
  return request->handle;
}

int CancelAsyncRequest(HANDLE handle) {
  std::shared_ptr<Request> request;
  {
    RequestTable& table = Requests();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.requests.find(handle);
    if (it != table.requests.end()) request = it->second;
  }
  const int result = request != nullptr ? Cancel(*request) : kWsaEInval;
  if (result != 0) posix::SetLastSocketError(result);
  return result;
}

}  // namespace fw
