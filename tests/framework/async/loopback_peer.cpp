// The loopback peer of the socket tests (see async_test_support.h): plain blocking sockets,
// the only code of these tests that includes operating-system headers.
#include <algorithm>
#include <chrono>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "loopback_peer.h"

namespace qbtest {
namespace {

#if defined(_WIN32)
using Native = SOCKET;
const Native kNone = INVALID_SOCKET;
void CloseNative(Native s) {
  closesocket(s);
}
int PollOne(Native s, int timeoutMs) {
  WSAPOLLFD fd{s, POLLRDNORM, 0};
  return WSAPoll(&fd, 1, timeoutMs);
}
// The module relies on the host having started Winsock; the tests play that host.
struct WinsockStartup {
  WinsockStartup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
} g_winsock;
#else
using Native = int;
const Native kNone = -1;
void CloseNative(Native s) {
  close(s);
}
int PollOne(Native s, int timeoutMs) {
  pollfd fd{s, POLLIN, 0};
  return poll(&fd, 1, timeoutMs);
}
#endif

Native ToNative(std::intptr_t handle) {
  return static_cast<Native>(handle);
}
std::intptr_t FromNative(Native s) {
  return static_cast<std::intptr_t>(s);
}

sockaddr_in Loopback(unsigned port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(port));
  return address;
}

// Binds a new socket to 127.0.0.1 on a free port.
Native BindLoopback(unsigned& port, int receiveBuffer) {
  Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNone) return kNone;
  if (receiveBuffer > 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
  }
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    CloseNative(s);
    return kNone;
  }
  port = ntohs(address.sin_port);
  return s;
}

}  // namespace

Peer::~Peer() {
  Close();
}

bool Peer::SendAll(const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const int n = send(ToNative(m_handle), data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Peer::Receive(std::size_t count) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + kPeerPatience;
  char buffer[4096];
  while (data.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (PollOne(ToNative(m_handle), 100) <= 0) continue;
    const int n = recv(ToNative(m_handle), buffer, static_cast<int>(std::min(sizeof buffer, count - data.size())), 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

std::size_t Peer::Drain(int quietMs) {
  std::size_t total = 0;
  char buffer[65536];
  while (PollOne(ToNative(m_handle), quietMs) > 0) {
    const int n = recv(ToNative(m_handle), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
  }
  return total;
}

void Peer::Close() {
  if (ToNative(m_handle) == kNone) return;
  CloseNative(ToNative(m_handle));
  m_handle = FromNative(kNone);
}

void Peer::Reset() {
  if (ToNative(m_handle) == kNone) return;
  linger hard{};
  hard.l_onoff = 1;
  hard.l_linger = 0;
  setsockopt(ToNative(m_handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  Close();
}

Listener::Listener(int receiveBuffer) {
  Native s = BindLoopback(m_port, receiveBuffer);
  if (s != kNone && listen(s, 8) != 0) {
    CloseNative(s);
    s = kNone;
  }
  m_handle = FromNative(s);
}

Listener::~Listener() {
  if (ToNative(m_handle) != kNone) CloseNative(ToNative(m_handle));
}

std::unique_ptr<Peer> Listener::Accept() {
  if (ToNative(m_handle) == kNone || PollOne(ToNative(m_handle), static_cast<int>(kPeerPatience.count() * 1000)) <= 0) {
    return nullptr;
  }
  const Native s = accept(ToNative(m_handle), nullptr, nullptr);
  return s == kNone ? nullptr : std::make_unique<Peer>(FromNative(s));
}

RefusingPort::RefusingPort() {
  m_handle = FromNative(BindLoopback(m_port, 0));
}

RefusingPort::~RefusingPort() {
  if (ToNative(m_handle) != kNone) CloseNative(ToNative(m_handle));
}

}  // namespace qbtest
