// The far end of the tests' connections: plain blocking IPv4 sockets on a loopback address
// (a listener on a free port, its accepted connections, a port that refuses connections, and
// connections to servers that a test fixture runs).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace qbtest {

class Peer {
 public:
  Peer(std::intptr_t handle, std::string address) : m_handle(handle), m_address(std::move(address)) {}
  ~Peer() { Close(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool SendAll(const std::string& data);
  // Appends what arrives within `timeoutMs` to `into`: the count read, 0 when the connection
  // ended, -1 when nothing came.
  int ReadSome(std::string& into, int timeoutMs);
  void Close();
  void Reset();  // closes with a reset instead of an orderly end
  const std::string& Address() const { return m_address; }

 private:
  std::intptr_t m_handle;
  std::string m_address;
};

// A connection to `port` on the loopback address, or null when none could be made.
std::unique_ptr<Peer> Connect(std::uint16_t port);

class Listener {
 public:
  // `receiveBuffer` > 0 shrinks the receive buffer of accepted connections; a listener that is
  // not `listening` holds its port bound, so that connecting to it is refused.
  explicit Listener(int receiveBuffer = 0, const char* address = "127.0.0.1", bool listening = true);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  std::uint16_t Port() const { return m_port; }
  bool IsOpen() const;
  // The next connection, or null when none came within `timeout`.
  std::unique_ptr<Peer> Accept(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  std::intptr_t m_handle;
  std::uint16_t m_port = 0;
};

}  // namespace qbtest
