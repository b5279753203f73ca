// Host names and the asynchronous socket: dotted addresses and the blocking lookup, all data
// before the close, and silence after Close. Asynchronous lookups are exercised through the
// delivery worker's hidden window.
#include <gtest/gtest.h>

#include <cstring>

#include "framework/host_lookup.h"
#include "loopback.h"
#include "recording_socket.h"
#include "test_support.h"

namespace {

using qbtest::EventLog;
using Events = std::vector<std::string>;

std::uint32_t InMemory(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  const unsigned char bytes[4] = {a, b, c, d};
  std::uint32_t value;
  std::memcpy(&value, bytes, 4);
  return value;
}

TEST(HostNames, DottedAddressesInEveryFormOfInetAddrAndBlockingLookups) {
  EXPECT_EQ(fw::InetAddr("127.0.0.1"), InMemory(127, 0, 0, 1));
  EXPECT_EQ(fw::InetAddr("192.168.10.254"), InMemory(192, 168, 10, 254));
  EXPECT_EQ(fw::InetAddr("0.0.0.0"), 0u);
  EXPECT_EQ(fw::InetAddr("127.1"), InMemory(127, 0, 0, 1));
  EXPECT_EQ(fw::InetAddr("10.1.258"), InMemory(10, 1, 1, 2));
  EXPECT_EQ(fw::InetAddr("0x7f.0.0.010"), InMemory(127, 0, 0, 8));
  // The broadcast address cannot be told from the failure.
  for (const char* text : {"255.255.255.255", "localhost", "mail.example.com", "", "1.2.3.256", "1.2.3.4.5", "1..2.3",
                           "1.2.3.4x", "08.1.1.1", "1.2.65536"}) {
    EXPECT_EQ(fw::InetAddr(text), fw::kInaddrNone) << text;
  }
  const fw::HostEnt* entry = fw::GetHostByName("localhost");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->h_addrtype + entry->h_length, fw::kAfInet + 4);
  EXPECT_EQ(static_cast<unsigned char>(entry->h_addr_list[0][0]), 127);
  EXPECT_EQ(fw::GetHostByName("nonexistent.invalid"), nullptr);
}

class SocketTest : public ::testing::Test {
 protected:
  void TearDown() override {
    m_thread.Run([this] { m_socket.reset(); });
  }
  // A socket created on the worker thread and connected to the listener, with the far end.
  std::unique_ptr<qbtest::Peer> Connect() {
    m_thread.Run([&] {
      m_socket = std::make_unique<qbtest::RecordingSocket>(m_log, "", true);
      ASSERT_TRUE(m_socket->Create());
      if (m_socket->Connect("127.0.0.1", m_listener.Port())) {
        m_log.Add("connect 0");  // at once: no notification follows
      } else {
        EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEWouldBlock);
      }
    });
    std::unique_ptr<qbtest::Peer> peer = m_listener.Accept();
    EXPECT_TRUE(m_log.WaitFor("send 0"));
    return peer;
  }

  qbtest::Listener m_listener;
  EventLog m_log;
  std::unique_ptr<qbtest::RecordingSocket> m_socket;
  qbtest::LoopThread m_thread;  // last: ends before the members its thread uses
};

TEST_F(SocketTest, AllDataIsOfferedBeforeTheClose) {
  std::unique_ptr<qbtest::Peer> peer = Connect();
  ASSERT_NE(peer, nullptr);
  std::string payload;
  for (int i = 0; payload.size() < 200000; ++i) payload += std::to_string(i) + ",";
  ASSERT_TRUE(peer->SendAll(payload));
  peer->Close();
  ASSERT_TRUE(m_log.WaitFor("close 0"));
  EXPECT_TRUE(m_thread.Run([&] { return m_socket->m_received == payload; }));
  EXPECT_EQ(m_log.Events(), (Events{"connect 0", "send 0", "close 0"}));
}

TEST_F(SocketTest, NothingArrivesAfterCloseOrDestruction) {
  for (const bool destroy : {false, true}) {
    std::unique_ptr<qbtest::Peer> peer = Connect();
    ASSERT_NE(peer, nullptr);
    m_thread.Run([&] {
      // The data and the peer's end are there before Close, so notifications for them are due.
      ASSERT_TRUE(peer->SendAll("data"));
      peer->Close();
      destroy ? m_socket.reset() : m_socket->Close();
    });
    m_thread.Settle();
    EXPECT_EQ(m_log.Events(), (Events{"connect 0", "send 0"})) << "destroy " << destroy;
    m_log.Clear();
  }
}

}  // namespace
