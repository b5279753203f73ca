// TLS under CQBNotifySocket against the loopback servers of tls_test_server.py (started by a
// CTest fixture, which also makes the test CA trusted): large echoes both ways with TLS from
// the first byte and after a plain STARTTLS exchange, the certificate checks, the pin, and
// handshakes that fail before any application byte leaves. The same tests run on both
// backends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include "framework/tls.h"
#include "mail/QBNotifySocket.h"
#include "test_support.h"
#include "tests/tls/tls_servers.h"

namespace {

using fw::TlsFailure;

constexpr const char* kGreeting = "220 tls ready\r\n";

// A well-formed pin that matches none of the test certificates.
const std::string kPinOfNothing(64, 'a');

std::string Payload(std::size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A client on the loop thread: connects, starts TLS at once or after "220 plain" / STARTTLS /
// "220 go ahead", and then pumps its payload in pieces as the connection takes them; it keeps
// every byte it receives.
class TlsClient : public CQBNotifySocket {
 public:
  TlsClient(qbtest::EventLog& log, fw::TlsSettings settings, bool bStartTls)
      : CQBNotifySocket(nullptr), m_log(log), m_settings(std::move(settings)), m_bStartTls(bStartTls) {}

  std::string payload;   // sent after the handshake has begun
  std::string received;  // decrypted bytes (the plain exchange is not kept)
  std::uint16_t localPort = 0;

  void OnConnect(int error) override {
    m_log.Add("connect " + std::to_string(error));
    std::string address;
    fw::UINT port = 0;
    if (GetSockName(address, port)) localPort = static_cast<std::uint16_t>(port);
    if (error == 0 && !m_bStartTls) BeginTls();
  }
  void OnTlsHandshakeDone(TlsFailure failure) override {
    m_log.Add(std::string("handshake ") + fw::TlsFailureName(failure));
    Pump();
  }
  void OnSend(int error) override {
    CQBNotifySocket::OnSend(error);
    Pump();
  }
  void OnClose(int /*error*/) override {
    EndTlsOnClose();
    m_log.Add("close");
  }
  int OnReceivedData(const char*& data, int& length) override {
    if (GetTlsChannel() == nullptr) {  // the plain exchange before STARTTLS, line by line
      std::string line;
      if (!ExtractLine(data, length, line)) return 0;
      if (line == "220 plain") SendText("STARTTLS\r\n");
      if (line == "220 go ahead") BeginTls();
      return 1;
    }
    received.append(data, static_cast<std::size_t>(length));
    data += length;
    length = 0;
    return 1;
  }

 private:
  static constexpr std::size_t kPiece = 64 * 1024;

  void BeginTls() {
    StartTls(m_settings);
    // The first piece waits for the handshake: nothing of it may leave before.
    m_nSent = std::min(payload.size(), kPiece);
    SendText(payload.substr(0, m_nSent));
  }
  void Pump() {
    while (IsTlsOn() && IsSendReady() && m_nSent < payload.size()) {
      const std::size_t count = std::min(payload.size() - m_nSent, kPiece);
      SendText(payload.substr(m_nSent, count));
      m_nSent += count;
    }
  }

  qbtest::EventLog& m_log;
  fw::TlsSettings m_settings;
  bool m_bStartTls;
  std::size_t m_nSent = 0;
};

// One connection to a scenario's server on its own loop thread.
class Connection {
 public:
  Connection(const std::string& scenario, fw::TlsSettings settings, std::string payload = {})
      : m_client(m_log, std::move(settings), scenario.rfind("starttls", 0) == 0) {
    const std::uint16_t port = tlstest::ServerPort(scenario);
    m_loop.Run([&] {
      m_client.payload = std::move(payload);
      EXPECT_TRUE(m_client.Create());
      m_client.ConnectTo("127.0.0.1", port);
    });
  }
  ~Connection() {
    m_loop.Run([&] { m_client.Close(); });
  }

  template <typename Action>
  auto Run(Action&& action) {
    return m_loop.Run([&] { return action(m_client); });
  }
  // Waits until `condition` holds on the loop thread (large transfers under Wine take a while).
  bool WaitUntil(const std::function<bool(TlsClient&)>& condition, int seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!Run(condition)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  qbtest::EventLog& Log() { return m_log; }

 private:
  qbtest::EventLog m_log;
  qbtest::LoopThread m_loop;
  TlsClient m_client;
};

bool WaitForHandshake(Connection& connection) {
  return connection.Log().WaitUntil([](const std::vector<std::string>& events) {
    return std::any_of(events.begin(), events.end(), [](const std::string& event) {
      return event.rfind("handshake ", 0) == 0 || event.rfind("connect 1", 0) == 0;
    });
  });
}

// The test's name, the scenario, the server name asked for, the certificate the server shows,
// the pin ("" for none; "*" for the certificate's own, in lower case without colons), the bytes
// echoed, and the protocol (nullptr: TLS 1.2 or 1.3, whichever the backend negotiates).
using EchoCase = std::tuple<const char*, const char*, const char*, const char*, std::string, std::size_t, const char*>;

std::string PinOf(const std::string& certificate) {
  std::string pin;
  for (char c : tlstest::Fingerprint(certificate)) {
    if (c != ':') pin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return pin;
}

class TlsEcho : public ::testing::TestWithParam<EchoCase> {};

TEST_P(TlsEcho, CarriesLargeVolumesBothWaysAndClosesInOrder) {
  const auto& [name, scenario, serverName, certificate, pin, bytes, protocol] = GetParam();
  const std::string payload = Payload(bytes);
  Connection connection(scenario, {serverName, pin == "*" ? PinOf(certificate) : pin}, payload);
  ASSERT_TRUE(WaitForHandshake(connection));
  ASSERT_EQ(connection.Log().Count("handshake None"), 1u) << connection.Log().Joined(", ");

  const std::string expected = kGreeting + payload;
  ASSERT_TRUE(connection.WaitUntil([&](TlsClient& client) { return client.received.size() >= expected.size(); }))
      << connection.Run([](TlsClient& client) { return client.received.size(); }) << " bytes came back";
  EXPECT_TRUE(connection.Run([&](TlsClient& client) { return client.received == expected; }))
      << "the echo differs from what was sent";

  connection.Run([&](TlsClient& client) {
    const fw::CTlsChannel* channel = client.GetTlsChannel();
    const std::string shown = channel->GetProtocol();
    EXPECT_TRUE(protocol ? shown == protocol : shown == "TLSv1.2" || shown == "TLSv1.3") << shown;
    const fw::TlsCertificateInfo& cert = channel->GetCertificate();
    EXPECT_EQ(std::tuple(client.IsTlsOn(), channel->GetCipher().empty(), cert.fingerprint, cert.subject),
              std::tuple(true, false, tlstest::Fingerprint(certificate), "CN=localhost, O=QBNotify Tests"));
    const std::int64_t now = std::time(nullptr);
    EXPECT_LT(cert.notBefore, now);
    EXPECT_GT(cert.notAfter, now + 20 * 86400);
    EXPECT_LT(cert.notAfter, now + 31 * 86400);
    RecordProperty("protocol", channel->GetProtocol());
    RecordProperty("cipher", channel->GetCipher());
  });
  const bool closeNotifySent = connection.Run([](TlsClient& client) { return client.ShutdownTls(); });
#if !defined(_WIN32)
  EXPECT_TRUE(closeNotifySent);
#endif
  const std::uint16_t port = connection.Run([](TlsClient& client) { return client.localPort; });
  if (closeNotifySent) {
    // The server answers close_notify with its own and ends the connection.
    EXPECT_TRUE(connection.Log().WaitFor("close"));
    EXPECT_TRUE(connection.Run([](TlsClient& client) { return client.GetTlsChannel()->IsPeerClosed(); }));
  } else {
    // Wine 8's Schannel cannot write close_notify: the connection just ends.
    connection.Run([](TlsClient& client) { client.Close(); });
  }
  EXPECT_EQ(tlstest::WaitForEnd(scenario, port), (closeNotifySent ? "close_notify " : "eof ") + std::to_string(bytes));
}

// A record that does not decrypt fails the channel; a close_notify closes it. Either way the
// greeting before it arrives and the connection ends.
TEST(TlsClose, BadRecordOrCloseNotifyAfterTheGreetingEndsTheConnection) {
  for (const auto& [scenario, failure] : {std::pair{"corrupt", TlsFailure::Connection}, {"closer", TlsFailure::None}}) {
    Connection connection(scenario, {"localhost", ""});
    ASSERT_TRUE(connection.Log().WaitFor("close")) << scenario;
    EXPECT_EQ(connection.Log().Joined(", "), "connect 0, handshake None, close") << scenario;
    // A failed channel also closes the connection.
    const bool closed = failure == TlsFailure::None;
    connection.Run([&](TlsClient& client) {
      const fw::CTlsChannel* channel = client.GetTlsChannel();
      EXPECT_EQ(std::tuple(client.received, channel->GetFailure(), channel->IsPeerClosed(), channel->GetState(),
                           client.IsTlsOn(), !closed && client.IsCreated()),
                std::tuple(std::string(kGreeting), failure, closed,
                           closed ? fw::CTlsChannel::State::Closed : fw::CTlsChannel::State::Failed, false, false))
          << scenario;
    });
  }
}

constexpr std::size_t kMiB = 1 << 20;

INSTANTIATE_TEST_SUITE_P(
    Scenarios, TlsEcho,
    ::testing::Values(EchoCase{"TlsFromTheStart", "tls13", "localhost", "good", "", 6 * kMiB, nullptr},
                      EchoCase{"Tls12", "tls12", "localhost", "good", "", 6 * kMiB, "TLSv1.2"},
                      EchoCase{"StartTls", "starttls", "localhost", "good", "", 1 * kMiB, nullptr},
                      EchoCase{"StartTlsDropsPlainTextAfterGoAhead", "starttls_injected", "localhost", "good", "", 1000,
                               nullptr},
                      EchoCase{"IpAddressInCertificate", "tls13", "127.0.0.1", "good", "", 1000, nullptr},
                      // A pin of another certificate does not refuse one the trust store vouches for.
                      EchoCase{"TrustedDespiteOtherPin", "tls12", "localhost", "good", kPinOfNothing, 1000, "TLSv1.2"},
                      EchoCase{"SelfSignedPinned", "selfsigned", "localhost", "selfsigned", "*", 1 * kMiB, nullptr}),
    [](const ::testing::TestParamInfo<EchoCase>& param) { return std::string(std::get<0>(param.param)); });

// The test's name, the scenario, the server name asked for, the pin, the failure, and the
// certificate whose fingerprint the diagnosis shows (nullptr for none).
using RefusalCase = std::tuple<const char*, const char*, const char*, std::string, TlsFailure, const char*>;

class TlsRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(TlsRefusal, EndsTheConnectionBeforeAnyApplicationByte) {
  const auto& [name, scenario, serverName, pin, failure, certificate] = GetParam();
  Connection connection(scenario, {serverName, pin == "*" ? PinOf("selfsigned") : pin}, "secret\r\n");
  ASSERT_TRUE(WaitForHandshake(connection));
  const std::vector<std::string> events = connection.Log().Events();
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + std::min<std::size_t>(events.size(), 2)),
            (std::vector<std::string>{"connect 0", std::string("handshake ") + fw::TlsFailureName(failure)}));
  connection.Run([&](TlsClient& client) {
    const fw::CTlsChannel* channel = client.GetTlsChannel();
    // Closed, with a diagnosis and the fingerprint to pin known after the refusal.
    EXPECT_EQ(std::tuple(client.IsCreated(), client.IsTlsOn(), client.IsSendReady(), channel->GetFailure(),
                         channel->GetFailureDetail().empty(), channel->GetCertificate().fingerprint),
              std::tuple(false, false, 0, failure, false, certificate ? tlstest::Fingerprint(certificate) : ""))
        << channel->GetFailureDetail() << " " << channel->GetProtocol();
  });
  const std::uint16_t port = connection.Run([](TlsClient& client) { return client.localPort; });
  const std::string end = tlstest::WaitForEnd(scenario, port);
  EXPECT_EQ(end.substr(end.rfind(' ') + 1), "0") << "the server saw application data: " << end;
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, TlsRefusal,
    ::testing::Values(
        RefusalCase{"Expired", "expired", "localhost", "", TlsFailure::Expired, "expired"},
        RefusalCase{"NotYetValid", "notyetvalid", "localhost", "", TlsFailure::NotYetValid, "notyetvalid"},
        RefusalCase{"WrongName", "wrongname", "localhost", "", TlsFailure::NameMismatch, "wrongname"},
        RefusalCase{"AddressNotInCertificate", "wrongname", "127.0.0.1", "", TlsFailure::NameMismatch, "wrongname"},
        RefusalCase{"OtherServerName", "tls13", "mail.example.com", "", TlsFailure::NameMismatch, "good"},
        RefusalCase{"SelfSigned", "selfsigned", "localhost", "", TlsFailure::Untrusted, "selfsigned"},
        RefusalCase{"SelfSignedOtherPin", "selfsigned", "localhost", kPinOfNothing, TlsFailure::PinMismatch,
                    "selfsigned"},
        RefusalCase{"SelfSignedMalformedPin", "selfsigned", "localhost", "not a fingerprint", TlsFailure::PinMismatch,
                    "selfsigned"},
        // The pin stands in for the trusted root only: the name is still checked.
        RefusalCase{"PinnedButWrongName", "selfsigned", "mail.example.com", "*", TlsFailure::NameMismatch,
                    "selfsigned"},
        RefusalCase{"Tls11Only", "tls11", "localhost", "", TlsFailure::Handshake, nullptr},
        RefusalCase{"ClosedDuringHandshake", "closes", "localhost", "", TlsFailure::Handshake, nullptr}),
    [](const ::testing::TestParamInfo<RefusalCase>& param) { return std::string(std::get<0>(param.param)); });

TEST(TlsFingerprint, PinsInAnyCaseWithOrWithoutSeparatorsHaveOneForm) {
  const std::string canonical =
      "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
  for (const char* pin :
       {"00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF",
        "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff",
        " 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF "}) {
    EXPECT_EQ(fw::NormalizeFingerprint(pin), canonical) << pin;
  }
  for (const char* bad :
       {"", "00:11", "0:011:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF",
        "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff00",
        "g0112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"}) {
    EXPECT_EQ(fw::NormalizeFingerprint(bad), "") << bad;
  }
  unsigned char address[4];
  EXPECT_TRUE(fw::ParseIpv4Literal("127.0.0.1", address));
  for (const char* name : {"localhost", "127.1", "127.0.0.01", "1.2.3.256", "1.2.3.4.", "1.2.3.4.5", "0x7f.0.0.1"}) {
    EXPECT_FALSE(fw::ParseIpv4Literal(name, address)) << name;
  }
}

}  // namespace
