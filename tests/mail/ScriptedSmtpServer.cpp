// The scripted SMTP server for the mail tests.
#include "ScriptedSmtpServer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLength = int;
namespace {
void CloseSocket(std::intptr_t s) {
  closesocket(static_cast<SOCKET>(s));
}
struct WinsockSession {
  WinsockSession() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockSession() { WSACleanup(); }
};
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketLength = socklen_t;
namespace {
void CloseSocket(std::intptr_t s) {
  close(static_cast<int>(s));
}
struct WinsockSession {};
}  // namespace
#endif

namespace {

constexpr auto kStepTimeout = std::chrono::seconds(15);

// Waits up to 50 ms for `s` to become readable.
bool Readable(std::intptr_t s) {
  fd_set set;
  FD_ZERO(&set);
#if defined(_WIN32)
  FD_SET(static_cast<SOCKET>(s), &set);
#else
  FD_SET(static_cast<int>(s), &set);
#endif
  timeval wait{0, 50000};
  return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &wait) > 0;
}

std::intptr_t Listen(int receiveBuffer, const char* loopbackAddress, std::uint16_t& port) {
  [[maybe_unused]] static WinsockSession session;
  const auto s = static_cast<std::intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (s < 0) return -1;
  if (receiveBuffer > 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, loopbackAddress, &address.sin_addr) != 1) {
    CloseSocket(s);
    return -1;
  }
  SocketLength length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseSocket(s);
    return -1;
  }
  port = ntohs(address.sin_port);
  return s;
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out.size() > 400 ? out.substr(0, 400) + "..." : out;
}

bool LineMatches(const std::string& expected, const std::string& actual) {
  if (!expected.empty() && expected.back() == '*') {
    return actual.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0;
  }
  return expected == actual;
}

}  // namespace

ScriptedSmtpServer::ScriptedSmtpServer(std::vector<ServerStep> steps, int receiveBuffer, const char* address)
    : m_steps(std::move(steps)) {
  m_listener = Listen(receiveBuffer, address, m_port);
  if (m_listener < 0) {
    Fail("cannot listen on loopback");
    m_bDone = true;
    return;
  }
  m_thread = std::thread([this] { Run(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  Stop();
  if (m_thread.joinable()) m_thread.join();
  if (m_connection >= 0) CloseSocket(m_connection);
  if (m_listener >= 0) CloseSocket(m_listener);
}

std::uint16_t ScriptedSmtpServer::UnusedPort() {
  std::uint16_t port = 0;
  const std::intptr_t s = Listen(0, "127.0.0.1", port);
  if (s >= 0) CloseSocket(s);
  return port;
}

bool ScriptedSmtpServer::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_done.wait_for(lock, timeout, [this] { return m_bDone; });
}

void ScriptedSmtpServer::Stop() {
  m_stop = true;
}

std::vector<std::string> ScriptedSmtpServer::Failures() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failures;
}

std::string ScriptedSmtpServer::Received() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_received;
}

void ScriptedSmtpServer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failures.push_back(what);
}

void ScriptedSmtpServer::Run() {
  // Accept one connection (unless stopped first).
  while (!m_stop && m_connection < 0) {
    if (!Readable(m_listener)) continue;
    sockaddr_in peer{};
    SocketLength length = sizeof peer;
    const auto s = static_cast<std::intptr_t>(accept(m_listener, reinterpret_cast<sockaddr*>(&peer), &length));
    if (s < 0) continue;
    m_connection = s;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    m_peerAddress = text;
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    m_accepted = true;
  }
  if (m_connection >= 0) {
    bool ok = true;
    for (const ServerStep& step : m_steps) {
      if (!(ok = RunStep(step))) break;
    }
    // Then wait for the client to close; whatever else it sends was not expected.
    if (ok && Flush() && m_connection >= 0) {
      const std::size_t before = m_inbox.size();
      while (ReadMore()) {
      }
      if (m_inbox.size() > before) Fail("unexpected bytes from the client: " + Printable(m_inbox.substr(before)));
    }
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bDone = true;
  m_done.notify_all();
}

bool ScriptedSmtpServer::Flush() {
  std::size_t sent = 0;
  while (m_connection >= 0 && sent < m_outbox.size()) {
    const int count =
        static_cast<int>(send(m_connection, m_outbox.data() + sent, static_cast<int>(m_outbox.size() - sent), 0));
    if (count <= 0) {
      Fail("server cannot send");
      return false;
    }
    sent += static_cast<std::size_t>(count);
  }
  m_outbox.clear();
  return true;
}

bool ScriptedSmtpServer::ReadMore() {
  if (m_bPeerClosed) return false;
  const auto deadline = std::chrono::steady_clock::now() + kStepTimeout;
  while (!m_stop && std::chrono::steady_clock::now() < deadline) {
    if (!Readable(m_connection)) continue;
    char buffer[65536];
    const int count = static_cast<int>(recv(m_connection, buffer, sizeof buffer, 0));
    if (count <= 0) {
      m_bPeerClosed = true;
      return false;
    }
    m_inbox.append(buffer, static_cast<std::size_t>(count));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(buffer, static_cast<std::size_t>(count));
    return true;
  }
  return false;
}

bool ScriptedSmtpServer::RunStep(const ServerStep& step) {
  switch (step.kind) {
    case ServerStep::Kind::Say:
      m_outbox += step.text;
      return true;
    case ServerStep::Kind::Split:
      if (!Flush()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return true;
    case ServerStep::Kind::Pause:
      if (!Flush()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(step.number));
      return true;
    case ServerStep::Kind::ExpectLine: {
      if (!Flush()) return false;
      std::size_t end;
      while ((end = m_inbox.find("\r\n")) == std::string::npos) {
        if (!ReadMore()) {
          Fail("expected \"" + step.text + "\", got " + (m_inbox.empty() ? "nothing" : Printable(m_inbox)));
          return false;
        }
      }
      const std::string line = m_inbox.substr(0, end);
      m_inbox.erase(0, end + 2);
      std::string expected = step.text;
      if (const std::size_t at = expected.find("{local}"); at != std::string::npos) {
        expected.replace(at, 7, m_peerAddress);
      }
      if (line != expected) {
        Fail("expected \"" + expected + "\", got \"" + Printable(line) + "\"");
        return false;
      }
      return true;
    }
    case ServerStep::Kind::ExpectData: {
      if (!Flush()) return false;
      std::size_t end;
      while ((end = m_inbox.find("\r\n.\r\n")) == std::string::npos) {
        if (!ReadMore()) {
          Fail("message without end-of-data marker: " + Printable(m_inbox));
          return false;
        }
      }
      std::string message = m_inbox.substr(0, end + 3);  // up to and including the "." line
      m_inbox.erase(0, end + 5);
      std::vector<std::string> actual;
      for (std::size_t start = 0; start < message.size();) {
        std::size_t lineEnd = message.find("\r\n", start);
        if (lineEnd == std::string::npos) lineEnd = message.size();
        actual.push_back(message.substr(start, lineEnd - start));
        start = lineEnd + 2;
      }
      bool ok = actual.size() == step.lines.size();
      for (std::size_t i = 0; ok && i < actual.size(); ++i) ok = LineMatches(step.lines[i], actual[i]);
      if (!ok) {
        std::string report = "message differs; got:\n";
        for (const std::string& line : actual) report += "  " + Printable(line) + "\n";
        report += "expected:\n";
        for (const std::string& line : step.lines) report += "  " + Printable(line) + "\n";
        Fail(report);
        return false;
      }
      return true;
    }
    case ServerStep::Kind::ReadBytes:
      if (!Flush()) return false;
      while (m_inbox.size() < static_cast<std::size_t>(step.number)) {
        if (!ReadMore()) break;
      }
      m_inbox.erase(0, std::min(m_inbox.size(), static_cast<std::size_t>(step.number)));
      return true;
    case ServerStep::Kind::Close:
    case ServerStep::Kind::Reset:
      if (!Flush()) return false;
      if (step.kind == ServerStep::Kind::Reset) {
        linger hard{1, 0};
        setsockopt(m_connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
      }
      CloseSocket(m_connection);
      m_connection = -1;
      m_bPeerClosed = true;
      return true;
  }
  return false;
}
