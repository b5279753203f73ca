// The far end of the socket tests: plain blocking IPv4 sockets on 127.0.0.1 (the listener,
// its accepted connections, and a port that refuses connections).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace qbtest {

inline constexpr std::chrono::seconds kPeerPatience{10};

// Blocking IPv4 sockets on 127.0.0.1 for the far end of a connection.
class Peer {
 public:
  explicit Peer(std::intptr_t handle) : m_handle(handle) {}
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool SendAll(const std::string& data);
  // Reads until `count` bytes arrived or the connection ended (at most kPeerPatience).
  std::string Receive(std::size_t count);
  // Reads whatever is there until nothing arrives for `quietMs`.
  std::size_t Drain(int quietMs);
  void Close();
  // Closes with a reset instead of an orderly end.
  void Reset();

 private:
  std::intptr_t m_handle;
};

class Listener {
 public:
  // `receiveBuffer` > 0 shrinks the receive buffer of accepted connections.
  explicit Listener(int receiveBuffer = 0);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  unsigned Port() const { return m_port; }
  std::unique_ptr<Peer> Accept();

 private:
  std::intptr_t m_handle;
  unsigned m_port = 0;
};

// A loopback port that is bound but not listening: connecting to it is refused.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  unsigned Port() const { return m_port; }

 private:
  std::intptr_t m_handle = -1;
  unsigned m_port = 0;
};

}  // namespace qbtest
