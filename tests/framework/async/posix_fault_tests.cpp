// Fault seams of the posix backend: socket creation, connecting, lookups, sending and
// receiving fail on demand with the chosen Winsock error.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "async_test_support.h"
#include "framework/async_socket.h"
#include "framework/host_lookup.h"
#include "framework/posix/fault_injection.h"
#include "loopback_peer.h"
#include "resource.h"

namespace {

using fw::posix::faults::FailNext;
using fw::posix::faults::Op;
using qbtest::EventLog;
using qbtest::Listener;
using qbtest::LoopThread;

class FaultSocket : public fw::CAsyncSocket {
 public:
  explicit FaultSocket(EventLog& log) : m_log(log) {}
  void OnConnect(int error) override { m_log.Add("connect " + std::to_string(error)); }
  void OnSend(int error) override { m_log.Add("send " + std::to_string(error)); }
  void OnReceive(int error) override { m_log.Add("receive " + std::to_string(error)); }
  void OnClose(int error) override { m_log.Add("close " + std::to_string(error)); }

 private:
  EventLog& m_log;
};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fw::posix::faults::Reset();
    ASSERT_TRUE(m_thread.Start());
  }
  void TearDown() override {
    m_thread.Call([this] { m_socket.reset(); });
    fw::posix::faults::Reset();
  }
  bool OnThread(const std::function<void()>& task) { return m_thread.Call(task); }

  EventLog m_log;
  std::unique_ptr<FaultSocket> m_socket;
  LoopThread m_thread;  // last: ends before the members its thread uses
};

TEST_F(FaultTest, SocketCreationAndImmediateConnectFailures) {
  ASSERT_TRUE(OnThread([&] {
    m_socket = std::make_unique<FaultSocket>(m_log);
    FailNext(Op::SocketCreate, fw::kWsaENoBufs);
    EXPECT_FALSE(m_socket->Create());
    EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaENoBufs);
    ASSERT_TRUE(m_socket->Create());  // the fault was for one call

    FailNext(Op::Connect, fw::kWsaENoBufs);
    EXPECT_FALSE(m_socket->Connect("127.0.0.1", 25));
    EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaENoBufs);
    EXPECT_FALSE(m_socket->Connect("mail.example.com", 25));  // names are not addresses
    EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEInval);
  }));
  ASSERT_TRUE(OnThread([] {}));
  EXPECT_TRUE(m_log.Events().empty());
}

TEST_F(FaultTest, NetworkConnectFailureArrivesThroughOnConnect) {
  ASSERT_TRUE(OnThread([&] {
    m_socket = std::make_unique<FaultSocket>(m_log);
    ASSERT_TRUE(m_socket->Create());
    FailNext(Op::Connect, fw::kWsaETimedOut);
    EXPECT_FALSE(m_socket->Connect("127.0.0.1", 25));
    EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEWouldBlock);
  }));
  ASSERT_TRUE(m_log.WaitFor("connect " + std::to_string(fw::kWsaETimedOut)));
  ASSERT_TRUE(OnThread([] {}));
  EXPECT_EQ(m_log.Events().size(), 1u);
}

TEST_F(FaultTest, InjectedSendAndReceiveErrors) {
  Listener listener;
  ASSERT_TRUE(OnThread([&] {
    m_socket = std::make_unique<FaultSocket>(m_log);
    ASSERT_TRUE(m_socket->Create());
    m_socket->Connect("127.0.0.1", listener.Port());
  }));
  auto peer = listener.Accept();
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(m_log.WaitFor("send 0"));
  ASSERT_TRUE(OnThread([&] {
    FailNext(Op::Send, fw::kWsaEConnAborted);
    EXPECT_EQ(m_socket->Send("x", 1), fw::kSocketError);
    EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEConnAborted);
    // An injected would-block re-arms the writable notification like a real one.
    FailNext(Op::Send, fw::kWsaEWouldBlock);
    EXPECT_EQ(m_socket->Send("x", 1), fw::kSocketError);
  }));
  ASSERT_TRUE(m_log.WaitFor("send 0", 2));

  ASSERT_TRUE(peer->SendAll("abc"));
  ASSERT_TRUE(m_log.WaitFor("receive 0"));
  ASSERT_TRUE(OnThread([&] {
    char buffer[8];
    FailNext(Op::Receive, fw::kWsaEConnReset);
    EXPECT_EQ(m_socket->Receive(buffer, sizeof buffer), fw::kSocketError);
    EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaEConnReset);
  }));
  // The failed receive re-armed the notification, and the data is still there.
  ASSERT_TRUE(m_log.WaitFor("receive 0", 2));
  ASSERT_TRUE(OnThread([&] {
    char buffer[8];
    EXPECT_EQ(m_socket->Receive(buffer, sizeof buffer), 3);
  }));
}

std::chrono::nanoseconds ThreadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Readiness that the application has not taken up (unread data, a reset already reported)
// must neither be lost nor keep the loop busy.
TEST_F(FaultTest, UnreadDataAndReportedResetsLeaveTheLoopIdle) {
  Listener listener;
  std::unique_ptr<FaultSocket> resetSocket;
  ASSERT_TRUE(OnThread([&] {
    m_socket = std::make_unique<FaultSocket>(m_log);
    resetSocket = std::make_unique<FaultSocket>(m_log);
    ASSERT_TRUE(m_socket->Create());
    ASSERT_TRUE(resetSocket->Create());
    m_socket->Connect("127.0.0.1", listener.Port());
  }));
  auto reader = listener.Accept();
  ASSERT_NE(reader, nullptr);
  ASSERT_TRUE(OnThread([&] { resetSocket->Connect("127.0.0.1", listener.Port()); }));
  auto resetter = listener.Accept();
  ASSERT_NE(resetter, nullptr);
  ASSERT_TRUE(m_log.WaitFor("send 0", 2));

  ASSERT_TRUE(reader->SendAll("unread"));
  ASSERT_TRUE(m_log.WaitFor("receive 0"));  // FaultSocket reads nothing
  resetter->Reset();
  ASSERT_TRUE(m_log.WaitFor("close " + std::to_string(fw::kWsaEConnReset)));

  std::chrono::nanoseconds before{};
  std::chrono::nanoseconds after{};
  ASSERT_TRUE(OnThread([&] { before = ThreadCpuTime(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(OnThread([&] { after = ThreadCpuTime(); }));
  EXPECT_LT(after - before, std::chrono::milliseconds(50));
  EXPECT_EQ(m_log.Count("receive 0"), 1u);  // not repeated until a Receive re-arms it

  // The peer's end behind data that was offered and left unread is still reported.
  reader->Close();
  ASSERT_TRUE(m_log.WaitFor("close 0"));
  ASSERT_TRUE(OnThread([&] {
    char buffer[16];
    EXPECT_EQ(m_socket->Receive(buffer, sizeof buffer), 6);
    resetSocket.reset();
  }));
}

class DoneWindow : public fw::CDialog {
 public:
  explicit DoneWindow(EventLog& log) : CDialog(IDD_QBNOTIFY_CONFIGURE), m_log(log) {}

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override {
    if (message == fw::kWmUser) m_log.Add("done " + std::to_string(fw::HiWord(lParam)));
    return CDialog::WindowProc(message, wParam, lParam);
  }

 private:
  EventLog& m_log;
};

TEST_F(FaultTest, LookupsFailWithTheInjectedError) {
  FailNext(Op::Lookup, fw::kWsaTryAgain);
  EXPECT_EQ(fw::GetHostByName("localhost"), nullptr);
  EXPECT_EQ(fw::CAsyncSocket::GetLastError(), fw::kWsaTryAgain);

  DoneWindow window(m_log);
  char buffer[fw::kMaxGetHostStruct];
  ASSERT_TRUE(OnThread([&] {
    ASSERT_TRUE(window.Create());
    FailNext(Op::Lookup, fw::kWsaNoRecovery);
    EXPECT_NE(fw::AsyncGetHostByName(window.GetSafeHwnd(), fw::kWmUser, "localhost", buffer, sizeof buffer), nullptr);
  }));
  ASSERT_TRUE(m_log.WaitFor("done " + std::to_string(fw::kWsaNoRecovery)));
  ASSERT_TRUE(OnThread([&] { window.DestroyWindow(); }));
}

// A lookup still running when its thread ends is cancelled, and the thread's end waits for it.
TEST(LookupThreads, EndWithTheThreadThatStartedThem) {
  EventLog log;
  std::vector<std::unique_ptr<char[]>> buffers;
  for (int i = 0; i < 4; ++i) buffers.push_back(std::make_unique<char[]>(fw::kMaxGetHostStruct));
  {
    LoopThread thread;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Call([&] {
      DoneWindow* window = new DoneWindow(log);
      ASSERT_TRUE(window->Create());
      for (auto& buffer : buffers) {
        EXPECT_NE(fw::AsyncGetHostByName(window->GetSafeHwnd(), fw::kWmUser, "localhost", buffer.get(),
                                         fw::kMaxGetHostStruct),
                  nullptr);
      }
      delete window;
    }));
  }
  // The thread has ended: freeing the buffers now must be safe (AddressSanitizer checks it).
  buffers.clear();
  EXPECT_EQ(log.Count("done 0"), 0u);
}

}  // namespace

#endif  // !defined(_WIN32)
