// Helpers of the mail tests (see mail_test_support.h).
#include "mail_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "framework/failure_record.h"
#include "tests/tls/tls_servers.h"

namespace mailtest {
namespace {

using namespace std::chrono_literals;

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c < 0x20 || c >= 0x7F ? hex : std::string(1, static_cast<char>(c));
  }
  return out.size() > 400 ? out.substr(0, 400) + "..." : out;
}

// A "*" at the end of an expected line matches any rest.
bool LineMatches(const std::string& expected, const std::string& actual) {
  if (expected.empty() || expected.back() != '*') return expected == actual;
  return actual.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0;
}

bool HasTlsStep(const Script& script) {
  return std::any_of(script.begin(), script.end(), [](const ScriptLine& line) { return line.key == "tls"; });
}

struct RecordStore {
  std::mutex mutex;
  std::vector<std::string> records;
};
RecordStore& g_records = *new RecordStore;  // outlives every static user

// Keeps every failure record of the program from the system log.
class RecordSinkEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    fw::testing::SetFailureRecordSink([](const std::string& record) {
      std::lock_guard<std::mutex> lock(g_records.mutex);
      g_records.records.push_back(record);
    });
  }
  void TearDown() override { fw::testing::SetFailureRecordSink(nullptr); }
};

[[maybe_unused]] ::testing::Environment* const g_recordSink =
    ::testing::AddGlobalTestEnvironment(new RecordSinkEnvironment);

}  // namespace

std::vector<std::string> TakeFailureRecords() {
  std::lock_guard<std::mutex> lock(g_records.mutex);
  return std::exchange(g_records.records, {});
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

CNotifyConfig MailConfig(const std::string& server, std::uint16_t port) {
  CNotifyConfig config;
  config.m_strSmtpServer = server;
  config.m_nSmtpPort = port;
  config.m_strDeliverTo = "rcpt@example.org";
  config.m_strFromEmail = "notify@example.org";
  config.m_nLogLines = 0;
  return config;
}

ScriptedSmtpServer::ScriptedSmtpServer(Script script, int receiveBuffer, const char* address)
    : m_script(std::move(script)), m_listener(receiveBuffer, address) {
  if (HasTlsStep(m_script)) {
    // The relay answers with the port it listens on for the client.
    std::string reply;
    m_relay = qbtest::Connect(tlstest::ServerPort("relay"));
    while (m_relay && reply.find('\n') == std::string::npos && m_relay->ReadSome(reply, 10000) > 0) {
    }
    m_nRelayPort = static_cast<std::uint16_t>(std::atoi(reply.c_str()));
    if (m_nRelayPort == 0) m_relay.reset();
    // TLS from the first byte: the relay must shake hands as soon as the client comes.
    if (m_relay && m_script.front().key == "tls") {
      m_relay->SendAll(std::string("\0TLS:", 5) + m_script.front().value + "\n");
      m_nFirstLine = 1;
    }
  }
  if (HasTlsStep(m_script) ? m_relay != nullptr : m_listener.IsOpen()) {
    m_thread = std::thread([this] { Run(); });
  } else {
    Fail(std::string("cannot listen on ") + address);
    m_bDone = true;
  }
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  m_bStop = true;
  if (m_thread.joinable()) m_thread.join();
}

std::vector<std::string> ScriptedSmtpServer::Finish(bool expectConnection) {
  if (!expectConnection) m_bStop = true;
  const bool ended = qbtest::Eventually([this] { return m_bDone.load(); });
  m_bStop = true;
  if (m_thread.joinable()) m_thread.join();
  if (!ended) m_failures.push_back("the server's script did not end");
  if (m_bAccepted != expectConnection) m_failures.push_back(expectConnection ? "no connection" : "a connection");
  return m_failures;
}

bool ScriptedSmtpServer::Fail(const std::string& what) {
  m_failures.push_back(what);
  return false;
}

bool ScriptedSmtpServer::AwaitRelayedClient() {
  // "accepted ADDRESS\n" once the client came; the relay closes when none comes.
  std::size_t end = 0;
  while ((end = m_inbox.find('\n')) == std::string::npos) {
    const int count = m_relay->ReadSome(m_inbox, 50);
    if (count == 0 || (count < 0 && m_bStop)) return false;
  }
  const std::string announcement = m_inbox.substr(0, end);
  m_strClientAddress = announcement.substr(announcement.find(' ') + 1);
  m_inbox.erase(0, end + 1);
  m_peer = std::move(m_relay);
  return true;
}

void ScriptedSmtpServer::Run() {
  if (m_relay) {
    AwaitRelayedClient();
  } else {
    // Accepts at least once after a stop, so that a connection that came is seen.
    while (!(m_peer = m_listener.Accept(50ms)) && !m_bStop) {
    }
    if (m_peer) m_strClientAddress = m_peer->Address();
  }
  m_bAccepted = m_peer != nullptr;
  bool ok = m_bAccepted;
  for (std::size_t i = m_nFirstLine; ok && i < m_script.size();) ok = Play(i);
  if (ok && Flush()) {
    // Then waits for the client to close; whatever else it sends was not expected.
    const std::size_t before = m_inbox.size();
    while (ReadMore()) {
    }
    if (m_inbox.size() > before) Fail("unexpected bytes from the client: " + Printable(m_inbox.substr(before)));
  }
  m_bDone = true;
}

bool ScriptedSmtpServer::Play(std::size_t& index) {
  const auto& [key, value] = m_script[index++];
  if (key == "S" || key == "S+" || key == "say-bulk") {
    m_outbox += key == "say-bulk" ? std::string(std::stoul(value), 'A') : key == "S" ? value + "\r\n" : value;
    return true;
  }
  if (!Flush()) return false;
  if (key == "split" || key == "pause") {
    std::this_thread::sleep_for(std::chrono::milliseconds(key == "split" ? 50 : std::stoi(value)));
  } else if (key == "close" || key == "reset") {
    key == "reset" ? m_peer->Reset() : m_peer->Close();
    m_bPeerClosed = true;
  } else if (key == "read") {
    const std::size_t count = std::stoul(value);
    while (m_inbox.size() < count && ReadMore()) {
    }
    m_inbox.erase(0, count);
  } else if (key == "tls") {
    // The relay takes the bytes before as plain ones and then shakes hands as the server.
    return m_peer->SendAll(std::string("\0TLS:", 5) + value + "\n") || Fail("the relay is gone");
  } else if (key == "C") {
    return Expect({value}, "\r\n");
  } else if (key == "D") {
    std::vector<std::string> message{value};  // consecutive lines form one message
    while (index < m_script.size() && m_script[index].key == "D") message.push_back(m_script[index++].value);
    return Expect(message, "\r\n.\r\n");
  } else {
    return Fail("unknown instruction \"" + key + "\"");
  }
  return true;
}

// The client's next bytes up to `end` are `lines`; "{local}" stands for the client's address.
bool ScriptedSmtpServer::Expect(std::vector<std::string> lines, const std::string& end) {
  std::size_t at;
  while ((at = m_inbox.find(end)) == std::string::npos) {
    if (!ReadMore()) return Fail("expected \"" + lines.front() + "\", got " + Printable(m_inbox));
  }
  const std::vector<std::string> actual = SplitLines(m_inbox.substr(0, at + end.size() - 2));
  m_inbox.erase(0, at + end.size());
  for (std::string& line : lines) {
    if (const std::size_t local = line.find("{local}"); local != std::string::npos) {
      line.replace(local, 7, m_strClientAddress);
    }
  }
  if (std::equal(lines.begin(), lines.end(), actual.begin(), actual.end(), LineMatches)) return true;
  std::string report = "the client sent:\n";
  for (const std::string& line : actual) report += "  " + Printable(line) + "\n";
  report += "expected:\n";
  for (const std::string& line : lines) report += "  " + Printable(line) + "\n";
  return Fail(report);
}

bool ScriptedSmtpServer::Flush() {
  if (m_outbox.empty()) return true;
  if (m_bPeerClosed || !m_peer->SendAll(m_outbox)) return Fail("the server cannot send");
  m_outbox.clear();
  return true;
}

bool ScriptedSmtpServer::ReadMore() {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!m_bPeerClosed && !m_bStop && std::chrono::steady_clock::now() < deadline) {
    const int count = m_peer->ReadSome(m_inbox, 50);
    if (count > 0) return true;
    m_bPeerClosed = count == 0;
  }
  return false;
}

}  // namespace mailtest
