// The far end of the tests' connections: plain blocking IPv4 sockets on a loopback address
// (a listener on a free port, its accepted connections, a port that refuses connections, a
// name server that never answers, and connections to servers that a test fixture runs).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// A name server on a UDP port of 127.0.0.1 that answers only when told to, and then that the
// name does not exist.
class LoopbackNameServer {
 public:
  LoopbackNameServer();
  ~LoopbackNameServer();
  LoopbackNameServer(const LoopbackNameServer&) = delete;
  LoopbackNameServer& operator=(const LoopbackNameServer&) = delete;
  // "127.0.0.1:port"
  std::string Address() const;
  // Waits until the next query arrives and keeps it; false when none came within `timeout`.
  bool WaitForQuery(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Answers every query kept so far that the name does not exist.
  void AnswerNotFound();

 private:
  struct Query;
  std::intptr_t m_handle;
  std::uint16_t m_port = 0;
  std::vector<std::unique_ptr<Query>> m_queries;
};

}  // namespace qbtest
