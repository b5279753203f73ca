// The asynchronous socket against a loopback peer: connecting, the writable notification, data
// before the close, peeking, resets, and silence after Close.
#include <gtest/gtest.h>

#include <string>

#include "async_test_support.h"
#include "framework/async_socket.h"
#include "loopback_peer.h"

namespace {

using qbtest::EventLog;
using qbtest::Listener;
using qbtest::LoopThread;
using qbtest::Peer;

// Records each notification; reads everything on OnReceive unless told to leave it.
class RecordingSocket : public fw::CAsyncSocket {
 public:
  explicit RecordingSocket(EventLog& log) : m_log(log) {}

  void OnConnect(int error) override { m_log.Add("connect " + std::to_string(error)); }
  void OnSend(int error) override { m_log.Add("send " + std::to_string(error)); }
  void OnClose(int error) override {
    m_log.Add("close " + std::to_string(error) + " after " + std::to_string(m_received.size()));
  }
  void OnReceive(int error) override {
    if (m_log.Count("receive") == 0 || m_bLogEveryReceive) m_log.Add("receive");
    if (error != 0 || !m_bRead) return;
    char buffer[1000];
    const int count = Receive(buffer, m_nChunk);
    if (count > 0) m_received.append(buffer, static_cast<std::size_t>(count));
  }

  std::string m_received;
  bool m_bRead = true;
  bool m_bLogEveryReceive = false;
  int m_nChunk = 1000;

 private:
  EventLog& m_log;
};

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_thread.Start()); }
  void TearDown() override {
    m_thread.Call([this] { m_socket.reset(); });
  }

  // Creates the socket on the worker thread and starts connecting to `port`.
  void StartConnect(unsigned port) {
    ASSERT_TRUE(m_thread.Call([&] {
      m_socket = std::make_unique<RecordingSocket>(m_log);
      ASSERT_TRUE(m_socket->Create());
      EXPECT_TRUE(m_socket->IsCreated());
      if (m_socket->Connect("127.0.0.1", port)) {
        m_log.Add("connect 0");
      } else {
        EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEWouldBlock);
      }
    }));
  }

  std::unique_ptr<Peer> Connect(Listener& listener) {
    StartConnect(listener.Port());
    std::unique_ptr<Peer> peer = listener.Accept();
    EXPECT_NE(peer, nullptr);
    EXPECT_TRUE(m_log.WaitFor("send 0"));
    return peer;
  }

  EventLog m_log;
  std::unique_ptr<RecordingSocket> m_socket;
  LoopThread m_thread;  // last: ends before the members its thread uses
};

TEST_F(SocketTest, ConnectReportsOnceThenWritableOnceAndKnowsItsAddress) {
  Listener listener;
  std::unique_ptr<Peer> peer = Connect(listener);
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(m_thread.Call([&] {
    EXPECT_EQ(m_socket->Send("HELO\r\n", 6), 6);
    std::string address;
    fw::UINT port = 0;
    ASSERT_TRUE(m_socket->GetSockName(address, port));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_NE(port, 0u);
  }));
  EXPECT_EQ(peer->Receive(6), "HELO\r\n");
  // Sending that succeeded does not re-arm the writable notification.
  ASSERT_TRUE(m_thread.Call([] {}));
  ASSERT_TRUE(m_thread.Call([] {}));
  EXPECT_EQ(m_log.Events(), (std::vector<std::string>{"connect 0", "send 0"}));
}

TEST_F(SocketTest, RefusedConnectionIsReportedThroughOnConnect) {
  qbtest::RefusingPort refusing;
  StartConnect(refusing.Port());
  ASSERT_TRUE(m_log.WaitUntil([](const auto& events) { return !events.empty(); }));
  ASSERT_TRUE(m_thread.Call([] {}));
  EXPECT_EQ(m_log.Events(), std::vector<std::string>{"connect " + std::to_string(fw::kWsaEConnRefused)});
}

TEST_F(SocketTest, WritableAgainOnlyAfterASendThatWouldBlock) {
  Listener listener(4096);
  std::unique_ptr<Peer> peer = Connect(listener);
  ASSERT_NE(peer, nullptr);
  std::size_t sent = 0;
  ASSERT_TRUE(m_thread.Call([&] {
    const std::string chunk(65536, 'x');
    for (int i = 0; i < 4096; ++i) {  // at most 256 MiB; the peer reads nothing
      const int count = m_socket->Send(chunk.data(), static_cast<int>(chunk.size()));
      if (count == fw::kSocketError) {
        EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEWouldBlock);
        m_log.Add("would block");
        return;
      }
      sent += static_cast<std::size_t>(count);
    }
  }));
  ASSERT_EQ(m_log.Count("would block"), 1u);
  ASSERT_TRUE(m_thread.Call([] {}));
  EXPECT_EQ(m_log.Count("send 0"), 1u);  // full, not writable: nothing yet

  EXPECT_EQ(peer->Drain(300), sent);
  ASSERT_TRUE(m_log.WaitFor("send 0", 2));
  ASSERT_TRUE(m_thread.Call([] {}));
  ASSERT_TRUE(m_thread.Call([] {}));
  EXPECT_EQ(m_log.Count("send 0"), 2u);
}

TEST_F(SocketTest, AllDataIsOfferedBeforeTheClose) {
  Listener listener;
  std::unique_ptr<Peer> peer = Connect(listener);
  ASSERT_NE(peer, nullptr);
  std::string payload;
  for (int i = 0; payload.size() < 200000; ++i) payload += std::to_string(i) + ",";
  ASSERT_TRUE(m_thread.Call([&] { m_socket->m_nChunk = 700; }));  // many notifications, each re-armed
  ASSERT_TRUE(peer->SendAll(payload));
  peer->Close();
  const std::string expectedClose = "close 0 after " + std::to_string(payload.size());
  ASSERT_TRUE(
      m_log.WaitUntil([](const auto& events) { return !events.empty() && events.back().rfind("close", 0) == 0; }));
  EXPECT_EQ(m_log.Events().back(), expectedClose);
  EXPECT_EQ(m_log.Count(expectedClose), 1u);
  ASSERT_TRUE(m_thread.Call([&] { EXPECT_EQ(m_socket->m_received, payload); }));
}

TEST_F(SocketTest, PeekLeavesTheDataForTheNextReceive) {
  Listener listener;
  std::unique_ptr<Peer> peer = Connect(listener);
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(m_thread.Call([&] { m_socket->m_bRead = false; }));
  ASSERT_TRUE(peer->SendAll("220 ready\r\n"));
  ASSERT_TRUE(m_log.WaitFor("receive"));
  ASSERT_TRUE(m_thread.Call([&] {
    char buffer[64] = {};
    ASSERT_EQ(m_socket->Receive(buffer, sizeof buffer, fw::CAsyncSocket::kMsgPeek), 11);
    EXPECT_EQ(std::string(buffer, 11), "220 ready\r\n");
    char again[64] = {};
    ASSERT_EQ(m_socket->Receive(again, sizeof again), 11);
    EXPECT_EQ(std::string(again, 11), "220 ready\r\n");
    EXPECT_EQ(m_socket->Receive(again, sizeof again), fw::kSocketError);
    EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEWouldBlock);
  }));
}

TEST_F(SocketTest, ResetIsReportedAndSendingToTheDeadPeerRaisesNoSignal) {
  Listener listener;
  std::unique_ptr<Peer> peer = Connect(listener);
  ASSERT_NE(peer, nullptr);
  peer->Reset();
  ASSERT_TRUE(
      m_log.WaitUntil([](const auto& events) { return !events.empty() && events.back().rfind("close", 0) == 0; }));
  EXPECT_EQ(m_log.Events().back(), "close " + std::to_string(fw::kWsaEConnReset) + " after 0");
  ASSERT_TRUE(m_thread.Call([&] {
    const std::string data(1024, 'x');
    int result = 0;
    for (int i = 0; i < 100 && result != fw::kSocketError; ++i) result = m_socket->Send(data.data(), 1024);
    EXPECT_EQ(result, fw::kSocketError);
    EXPECT_NE(fw::CAsyncSocket::GetLastError(), fw::kWsaEWouldBlock);
  }));
}

TEST_F(SocketTest, NothingArrivesAfterCloseOrDestruction) {
  Listener listener;
  for (const bool destroy : {false, true}) {
    std::unique_ptr<Peer> peer = Connect(listener);
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(m_thread.Call([&] {
      // The data and the peer's end are there before Close, so notifications for them are due.
      ASSERT_TRUE(peer->SendAll("data"));
      peer->Close();
      if (destroy) {
        m_socket.reset();
      } else {
        m_socket->Close();
        EXPECT_FALSE(m_socket->IsCreated());
      }
    }));
    ASSERT_TRUE(m_thread.Call([] {}));
    ASSERT_TRUE(m_thread.Call([] {}));
    EXPECT_EQ(m_log.Events(), (std::vector<std::string>{"connect 0", "send 0"})) << "destroy " << destroy;
    ASSERT_TRUE(m_thread.Call([&] { m_socket.reset(); }));
    m_log.Clear();
  }
}

}  // namespace
