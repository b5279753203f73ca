// The loopback sockets of the tests (see loopback.h): the only test code that includes the
// operating system's socket headers.
#include "loopback.h"

#include <algorithm>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace qbtest {
namespace {

#if defined(_WIN32)
using Native = SOCKET;
using SocketLength = int;
const Native kNone = INVALID_SOCKET;
void CloseNative(Native s) {
  closesocket(s);
}
int PollOne(Native s, int timeoutMs) {
  WSAPOLLFD fd{s, POLLRDNORM, 0};
  return WSAPoll(&fd, 1, timeoutMs);
}
// The module relies on its host to start Winsock; the tests play that host.
struct WinsockStartup {
  WinsockStartup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
} g_winsock;
#else
using Native = int;
using SocketLength = socklen_t;
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

// A socket of `type` bound to a free port of `address` (the port in `port`), or kNone.
Native BoundSocket(int type, const char* address, std::uint16_t& port, int receiveBuffer = 0) {
  Native s = socket(AF_INET, type, type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP);
  if (receiveBuffer > 0 && s != kNone) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
  }
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  SocketLength size = sizeof bound;
  if (s != kNone && (inet_pton(AF_INET, address, &bound.sin_addr) != 1 ||
                     bind(s, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
                     getsockname(s, reinterpret_cast<sockaddr*>(&bound), &size) != 0)) {
    CloseNative(s);
    s = kNone;
  }
  port = s == kNone ? 0 : ntohs(bound.sin_port);
  return s;
}

// A connected socket as a peer, its small writes sent at once.
std::unique_ptr<Peer> MakePeer(Native s, std::string address) {
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return std::make_unique<Peer>(static_cast<std::intptr_t>(s), std::move(address));
}

}  // namespace

bool Peer::SendAll(const std::string& data) {
  for (std::size_t sent = 0; sent < data.size();) {
    const int n = send(ToNative(m_handle), data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

int Peer::ReadSome(std::string& into, int timeoutMs) {
  if (ToNative(m_handle) == kNone) return 0;
  if (PollOne(ToNative(m_handle), timeoutMs) <= 0) return -1;
  char buffer[65536];
  const int n = recv(ToNative(m_handle), buffer, sizeof buffer, 0);
  if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
  return std::max(n, 0);
}

void Peer::Close() {
  if (ToNative(m_handle) == kNone) return;
  CloseNative(ToNative(m_handle));
  m_handle = static_cast<std::intptr_t>(kNone);
}

void Peer::Reset() {
  if (ToNative(m_handle) == kNone) return;
  linger hard{1, 0};
  setsockopt(ToNative(m_handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  Close();
}

std::unique_ptr<Peer> Connect(std::uint16_t port) {
  const Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNone) return nullptr;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
    CloseNative(s);
    return nullptr;
  }
  return MakePeer(s, "127.0.0.1");
}

Listener::Listener(int receiveBuffer, const char* address, bool listening) {
  Native s = BoundSocket(SOCK_STREAM, address, m_port, receiveBuffer);
  if (s != kNone && listening && listen(s, 8) != 0) {
    CloseNative(s);
    s = kNone;
    m_port = 0;
  }
  m_handle = static_cast<std::intptr_t>(s);
}

Listener::~Listener() {
  if (IsOpen()) CloseNative(ToNative(m_handle));
}

bool Listener::IsOpen() const {
  return ToNative(m_handle) != kNone;
}

std::unique_ptr<Peer> Listener::Accept(std::chrono::milliseconds timeout) {
  if (!IsOpen() || PollOne(ToNative(m_handle), static_cast<int>(timeout.count())) <= 0) return nullptr;
  sockaddr_in remote{};
  SocketLength size = sizeof remote;
  const Native s = accept(ToNative(m_handle), reinterpret_cast<sockaddr*>(&remote), &size);
  if (s == kNone) return nullptr;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &remote.sin_addr, text, sizeof text);
  return MakePeer(s, text);
}

struct LoopbackNameServer::Query {
  std::string bytes;
  sockaddr_in from{};
};

LoopbackNameServer::LoopbackNameServer() {
  m_handle = static_cast<std::intptr_t>(BoundSocket(SOCK_DGRAM, "127.0.0.1", m_port));
}

LoopbackNameServer::~LoopbackNameServer() {
  if (ToNative(m_handle) != kNone) CloseNative(ToNative(m_handle));
}

std::string LoopbackNameServer::Address() const {
  return "127.0.0.1:" + std::to_string(m_port);
}

bool LoopbackNameServer::WaitForQuery(std::chrono::milliseconds timeout) {
  if (ToNative(m_handle) == kNone || PollOne(ToNative(m_handle), static_cast<int>(timeout.count())) <= 0) return false;
  auto query = std::make_unique<Query>();
  char bytes[1500];
  SocketLength size = sizeof query->from;
  const int n = recvfrom(ToNative(m_handle), bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&query->from), &size);
  if (n < 12) return false;  // shorter than a DNS header
  query->bytes.assign(bytes, static_cast<std::size_t>(n));
  m_queries.push_back(std::move(query));
  return true;
}

void LoopbackNameServer::AnswerNotFound() {
  for (const auto& query : m_queries) {
    std::string answer = query->bytes;                                // same id and question
    answer[2] = static_cast<char>(answer[2] | 0x80);                  // a response
    answer[3] = static_cast<char>((answer[3] & 0x70) | 0x80 | 0x03);  // recursion available, NXDOMAIN
    sendto(ToNative(m_handle), answer.data(), static_cast<int>(answer.size()), 0,
           reinterpret_cast<const sockaddr*>(&query->from), sizeof query->from);
  }
  m_queries.clear();
}

}  // namespace qbtest
