// The posix backend's socket layer under faults: calls failed through the seams report their
// Winsock errors and re-arm their notifications like real ones; readiness the application has
// not taken up neither gets lost nor keeps the loop busy; lookups fail through their seam and
// are cancelled at once, by their caller or by the end of their thread.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <time.h>

#include <thread>

#include "framework/host_lookup.h"
#include "framework/posix/fault_injection.h"
#include "framework/posix/resolver.h"
#include "framework/wnd.h"
#include "loopback.h"
#include "recording_socket.h"
#include "resource.h"
#include "test_support.h"

namespace {

using fw::posix::faults::FailNext;
using fw::posix::faults::Op;
using qbtest::EventLog;

class FaultTest : public ::testing::Test {
 protected:
  void TearDown() override {
    m_thread.Run([this] { m_sockets.clear(); });
    fw::posix::faults::Reset();
  }
  // A created socket, connecting to `port` (0: not connecting), on the loop thread.
  qbtest::RecordingSocket& NewSocket(unsigned port) {
    return *m_thread.Run([&] {
      m_sockets.push_back(std::make_unique<qbtest::RecordingSocket>(m_log));
      EXPECT_TRUE(m_sockets.back()->Create());
      if (port != 0) m_sockets.back()->Connect("127.0.0.1", port);
      return m_sockets.back().get();
    });
  }

  EventLog m_log;
  std::vector<std::unique_ptr<qbtest::RecordingSocket>> m_sockets;
  qbtest::LoopThread m_thread;  // last: ends before the members its thread uses
};

std::chrono::nanoseconds ThreadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TEST_F(FaultTest, UnreadDataAndReportedResetsLeaveTheLoopIdleAndTheEndIsStillReported) {
  qbtest::Listener listener;
  qbtest::RecordingSocket& reader = NewSocket(listener.Port());
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

constexpr fw::UINT kLookupDone = fw::kWmUser + 100;

// Records the lookup completions that reach it: "<handle> <error>".
class LookupWindow : public fw::CDialog {
 public:
  explicit LookupWindow(EventLog& log) : CDialog(IDD_QBNOTIFY_CONFIGURE), m_log(log) {}

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override {
    if (message == kLookupDone) m_log.Add(std::to_string(wParam) + " " + std::to_string(fw::HiWord(lParam)));
    return CDialog::WindowProc(message, wParam, lParam);
  }

 private:
  EventLog& m_log;
};

class ScopedResolverServers {
 public:
  explicit ScopedResolverServers(const std::string& servers) { fw::posix::testing::SetResolverServers(servers); }
  ScopedResolverServers(const ScopedResolverServers&) = delete;
  ScopedResolverServers& operator=(const ScopedResolverServers&) = delete;
  ~ScopedResolverServers() { fw::posix::testing::SetResolverServers(""); }
};

// Lookups resolve in their thread's loop and post their completion to the window, with the
// name server's answer or an injected fault as the error. A cancelled lookup never completes,
// though its answer comes; and the end of the thread cancels a lookup whose server never
// answers at once, without waiting for the resolver. The caller's buffers are freed after the
// thread's end: AddressSanitizer checks that nothing writes them afterwards.
TEST(Lookups, CompleteThroughTheWindowAndAreCancelledAtOnceByTheirCallerOrTheirThreadsEnd) {
  qbtest::LoopbackNameServer server;
  const ScopedResolverServers servers(server.Address());
  EventLog log;
  std::vector<std::unique_ptr<char[]>> buffers;
  for (int i = 0; i < 5; ++i) buffers.push_back(std::make_unique<char[]>(fw::kMaxGetHostStruct));
  auto thread = std::make_unique<qbtest::LoopThread>();
  std::unique_ptr<LookupWindow> window;  // the thread's
  std::vector<fw::HANDLE> handles;
  const auto start = [&](const char* name) {
    char* buffer = buffers[handles.size()].get();
    handles.push_back(fw::AsyncGetHostByName(window->GetSafeHwnd(), kLookupDone, name, buffer, fw::kMaxGetHostStruct));
  };
  const auto completion = [&](std::size_t lookup, int error) {
    return std::to_string(reinterpret_cast<std::uintptr_t>(handles[lookup])) + " " + std::to_string(error);
  };
  thread->Run([&] {
    window = std::make_unique<LookupWindow>(log);
    ASSERT_TRUE(window->Create());
    FailNext(Op::Lookup, fw::kWsaTryAgain);
    start("localhost");  // 0: the injected fault
    start("localhost");  // 1: from the hosts file
    start("cancelled.example");
    start("answered.example");
  });
  ASSERT_TRUE(server.WaitForQuery() && server.WaitForQuery());
  thread->Run([&] {
    EXPECT_EQ(fw::CancelAsyncRequest(handles[2]), 0);
    EXPECT_NE(fw::CancelAsyncRequest(handles[1]), 0);  // completed already
  });
  server.AnswerNotFound();
  ASSERT_TRUE(log.WaitFor(completion(3, fw::kWsaHostNotFound)));
  thread->Run([&] { start("unanswered.example"); });
  ASSERT_TRUE(server.WaitForQuery());
  thread->Settle();
  const std::vector<std::string> expected = {completion(0, fw::kWsaTryAgain), completion(1, 0),
                                             completion(3, fw::kWsaHostNotFound)};
  EXPECT_EQ(log.Events(), expected);
  const auto* entry = reinterpret_cast<const fw::HostEnt*>(buffers[1].get());
  EXPECT_EQ(static_cast<unsigned char>(entry->h_addr_list[0][0]), 127);

  thread->Run([&] { window.reset(); });
  qbtest::WithinPatience("the end of a thread with a lookup under way", [&] { thread.reset(); });
  buffers.clear();
}

}  // namespace

#endif  // !defined(_WIN32)
