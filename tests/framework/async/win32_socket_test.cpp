// Windows: a notification still queued for a closed socket never reaches the next socket, even
// when Winsock gives the new socket the closed one's handle.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "async_test_support.h"
#include "framework/async_socket.h"
#include "framework/win32/windows_api.h"
#include "loopback_peer.h"

namespace {

using qbtest::EventLog;
using qbtest::LoopThread;

class NamedSocket : public fw::CAsyncSocket {
 public:
  NamedSocket(EventLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}
  void OnConnect(int error) override { m_log.Add(m_name + " connect " + std::to_string(error)); }
  void OnSend(int error) override { m_log.Add(m_name + " send " + std::to_string(error)); }
  void OnReceive(int error) override { m_log.Add(m_name + " receive " + std::to_string(error)); }
  void OnClose(int error) override { m_log.Add(m_name + " close " + std::to_string(error)); }

 private:
  EventLog& m_log;
  std::string m_name;
};

// Waits, without taking anything, until the calling thread's queue holds a message.
bool WaitForQueuedMessage() {
  for (int i = 0; i < 2000; ++i) {
    MSG message;
    if (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) return true;
    Sleep(5);
  }
  return false;
}

TEST(Win32AsyncSocket, QueuedNotificationOfAClosedSocketDoesNotReachItsSuccessor) {
  LoopThread thread;
  ASSERT_TRUE(thread.Start());
  qbtest::RefusingPort refusing;
  qbtest::Listener listener;
  EventLog log;
  std::unique_ptr<NamedSocket> first;
  std::unique_ptr<NamedSocket> second;
  ASSERT_TRUE(thread.Call([&] {
    first = std::make_unique<NamedSocket>(log, "first");
    ASSERT_TRUE(first->Create());
    ASSERT_FALSE(first->Connect("127.0.0.1", refusing.Port()));
    ASSERT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEWouldBlock);
    ASSERT_TRUE(WaitForQueuedMessage());  // the refusal is queued
    first.reset();
    second = std::make_unique<NamedSocket>(log, "second");
    ASSERT_TRUE(second->Create());
    EXPECT_FALSE(second->Connect("127.0.0.1", listener.Port()));
  }));
  std::unique_ptr<qbtest::Peer> peer = listener.Accept();
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(log.WaitFor("second send 0"));
  ASSERT_TRUE(thread.Call([] {}));
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"second connect 0", "second send 0"}));
  ASSERT_TRUE(thread.Call([&] { second.reset(); }));
}

}  // namespace

#endif  // _WIN32
