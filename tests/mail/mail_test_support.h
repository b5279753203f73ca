// Helpers of the mail tests: a scripted SMTP server that plays the server's part of a
// conversation written as case-file lines (tests/data/smtp/README.md) and checks what the
// client sends, in plain or through the TLS relay; a recorder of the states a job enters;
// settings for a job; and the failure records that jobs leave.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "mail/NotifySmtpClient.h"
#include "settings/NotifyConfig.h"
#include "test_support.h"

namespace mailtest {

struct ScriptLine {
  std::string key;
  std::string value;
};
using Script = std::vector<ScriptLine>;

// The plain exchange up to DATA with the settings of MailConfig, and the header block and
// introduction of a notification's message.
inline const Script kUntilData = {{"S", "220 ready"}, {"C", "HELO [{local}]"},
                                  {"S", "250 hello"}, {"C", "MAIL FROM: <notify@example.org>"},
                                  {"S", "250 ok"},    {"C", "RCPT TO: <rcpt@example.org>"},
                                  {"S", "250 ok"},    {"C", "DATA"}};
inline const std::vector<std::string> kHead = {
    "Message-ID*",       "From*", "To*",       "Subject*", "Date*", "MIME*", "Content-Type*", "\tcharset*",
    "Content-Transfer*", "",      "Folgende*", ""};

// The lines of CR LF separated text; a final CR LF ends the last line.
std::vector<std::string> SplitLines(const std::string& text);

// The failure records written since the last call (the system log gets none while the test
// program runs).
std::vector<std::string> TakeFailureRecords();

// Accepts one connection on a free loopback port and plays `script` on its own thread. A
// script with a "tls" line is played through the TLS relay: the client connects to the
// relay, which passes the plain bytes on and, at each "tls", becomes the TLS server with the
// certificate named.
class ScriptedSmtpServer {
 public:
  explicit ScriptedSmtpServer(Script script, int receiveBuffer = 0, const char* address = "127.0.0.1");
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  std::uint16_t Port() const { return m_nRelayPort != 0 ? m_nRelayPort : m_listener.Port(); }
  bool Accepted() const { return m_bAccepted; }
  // Waits until the script has ended and the client has closed, then stops; returns every
  // failure, a connection against `expectConnection` included.
  std::vector<std::string> Finish(bool expectConnection = true);

 private:
  void Run();
  bool Play(std::size_t& index);
  bool Expect(std::vector<std::string> lines, const std::string& end);
  bool Flush();
  bool ReadMore();  // false at the client's end, at Stop and after a long silence
  bool Fail(const std::string& what);
  // Through the relay: the client's connection, announced by the relay.
  bool AwaitRelayedClient();

  Script m_script;
  qbtest::Listener m_listener;
  std::unique_ptr<qbtest::Peer> m_relay;  // the connection to the relay, until the client came
  std::uint16_t m_nRelayPort = 0;         // the relay's port for the client
  std::size_t m_nFirstLine = 0;           // the first script line to play
  std::unique_ptr<qbtest::Peer> m_peer;
  std::string m_strClientAddress;
  std::string m_outbox, m_inbox;
  bool m_bPeerClosed = false;
  std::vector<std::string> m_failures;
  std::atomic<bool> m_bStop{false}, m_bAccepted{false}, m_bDone{false};
  std::thread m_thread;
};

// The states a job enters, from "Idle" on.
class StateTrace : public qbtest::EventLog {
 public:
  StateTrace() { Add("Idle"); }
  CNotifySmtpClient::StateObserver Observer() {
    return [this](SmtpState, SmtpState to) { Add(SmtpStateName(to)); };
  }
  bool WaitForState(const std::string& name) const {
    return WaitUntil([&](const std::vector<std::string>& states) { return states.back() == name; });
  }
  std::string Trace() const { return Joined(" -> "); }
};

// A socket or job whose connection is a string: writes take `budget` bytes, then fail with
// `error`.
template <typename Socket>
class WireSink : public Socket {
 public:
  using Socket::Socket;
  std::string wire;
  std::size_t budget = SIZE_MAX, largestWrite = 0;
  int error = fw::kWsaEWouldBlock;

 protected:
  int Transmit(const char* data, int length, int /*flags*/, int& failure) override {
    if (budget == 0) {
      failure = error;
      return fw::kSocketError;
    }
    const std::size_t count = std::min(static_cast<std::size_t>(length), budget);
    wire.append(data, count);
    budget -= count;
    largestWrite = std::max(largestWrite, count);
    return static_cast<int>(count);
  }
};

// Complete settings for a server (an empty server name leaves them incomplete).
CNotifyConfig MailConfig(const std::string& server, std::uint16_t port);

}  // namespace mailtest
