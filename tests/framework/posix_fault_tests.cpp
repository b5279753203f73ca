// The posix backend's socket layer under faults: calls failed through the seams report their
// Winsock errors and re-arm their notifications like real ones; readiness the application has
// not taken up neither gets lost nor keeps the loop busy; lookups end with their thread.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <time.h>

#include <thread>

#include "framework/async_socket.h"
#include "framework/host_lookup.h"
#include "framework/posix/fault_injection.h"
#include "framework/wnd.h"
#include "loopback.h"
#include "resource.h"
#include "test_support.h"

namespace {

using fw::posix::faults::FailNext;
using fw::posix::faults::Op;
using qbtest::EventLog;

// Records every notification and reads nothing by itself.
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
  void TearDown() override {
    m_thread.Run([this] { m_sockets.clear(); });
    fw::posix::faults::Reset();
  }
  // A created socket, connecting to `port` (0: not connecting), on the loop thread.
  FaultSocket& NewSocket(unsigned port) {
    return *m_thread.Run([&] {
      m_sockets.push_back(std::make_unique<FaultSocket>(m_log));
      EXPECT_TRUE(m_sockets.back()->Create());
      if (port != 0) m_sockets.back()->Connect("127.0.0.1", port);
      return m_sockets.back().get();
    });
  }

  EventLog m_log;
  std::vector<std::unique_ptr<FaultSocket>> m_sockets;
  qbtest::LoopThread m_thread;  // last: ends before the members its thread uses
};

std::chrono::nanoseconds ThreadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TEST_F(FaultTest, UnreadDataAndReportedResetsLeaveTheLoopIdleAndTheEndIsStillReported) {
  qbtest::Listener listener;
  FaultSocket& reader = NewSocket(listener.Port());
  auto readerPeer = listener.Accept();
  NewSocket(listener.Port());
  auto resetPeer = listener.Accept();
  ASSERT_TRUE(readerPeer && resetPeer);
  ASSERT_TRUE(m_log.WaitFor("send 0", 2));
  ASSERT_TRUE(readerPeer->SendAll("unread"));
  ASSERT_TRUE(m_log.WaitFor("receive 0"));
  resetPeer->Reset();
  ASSERT_TRUE(m_log.WaitFor("close " + std::to_string(fw::kWsaEConnReset)));

  const auto before = m_thread.Run(ThreadCpuTime);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LT(m_thread.Run(ThreadCpuTime) - before, std::chrono::milliseconds(50));
  EXPECT_EQ(m_log.Count("receive 0"), 1u);  // not repeated until a Receive re-arms it

  readerPeer->Close();  // behind data that was offered and left unread
  ASSERT_TRUE(m_log.WaitFor("close 0"));
  char buffer[16];
  EXPECT_EQ(m_thread.Run([&] { return reader.Receive(buffer, sizeof buffer); }), 6);
}

// A lookup still running when its thread ends is cancelled, and the thread's end waits for it.
TEST(LookupThreads, EndWithTheThreadThatStartedThem) {
  std::vector<std::unique_ptr<char[]>> buffers;
  for (int i = 0; i < 4; ++i) buffers.push_back(std::make_unique<char[]>(fw::kMaxGetHostStruct));
  {
    qbtest::LoopThread thread;
    thread.Run([&] {
      fw::CDialog window(IDD_QBNOTIFY_CONFIGURE);
      ASSERT_TRUE(window.Create());
      for (auto& buffer : buffers) {
        EXPECT_NE(
            fw::AsyncGetHostByName(window.GetSafeHwnd(), fw::kWmUser, "localhost", buffer.get(), fw::kMaxGetHostStruct),
            nullptr);
      }
    });
  }
  buffers.clear();  // the thread has ended: freeing the buffers now is safe (AddressSanitizer checks it)
}

}  // namespace

#endif  // !defined(_WIN32)
