// The socket layer: buffered sending around the send-ready flag, partial writes, errors,
// memory that stays linear while the connection waits, received bytes offered until nothing
// more is taken, and host-name lookups routed through the hidden window.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "../MailTestSupport.h"
#include "mail/NotifySocketWnd.h"
#include "mail/QBNotifySocket.h"

namespace {

std::atomic<std::size_t> g_allocatedBytes{0};

}  // namespace

// Counts the bytes allocated by this test program.
void* operator new(std::size_t size) {
  g_allocatedBytes += size;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

// A socket whose connection is scripted: writes take `budget` bytes, then fail with `error`;
// reads return the bytes of `incoming`. The receive hook takes one line per call.
class ScriptedSocket : public CQBNotifySocket {
 public:
  explicit ScriptedSocket(CSocketWndOwner* pOwner = nullptr) : CQBNotifySocket(pOwner) {}

  int Receive(void* buffer, int length, int) override {
    if (incoming.empty()) return fw::kSocketError;
    const std::size_t count = std::min(incoming.size(), static_cast<std::size_t>(length));
    std::memcpy(buffer, incoming.data(), count);
    incoming.erase(0, count);
    return static_cast<int>(count);
  }
  int OnReceivedData(const char*& data, int& length) override {
    ++offers;
    std::string line;
    if (!ExtractLine(data, length, line)) return 0;
    lines.push_back(line);
    return 1;
  }
  void OnHostResolved(int errorCode, const fw::HostEnt* pHost, fw::LPARAM) override {
    resolvedError = errorCode;
    if (errorCode == 0 && pHost && pHost->h_addr_list && pHost->h_addr_list[0]) {
      const auto* b = reinterpret_cast<const unsigned char*>(pHost->h_addr_list[0]);
      resolvedAddress =
          std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
    }
  }
  fw::HANDLE Lookup() const { return m_hLookup; }
  std::size_t Pending() const { return GetPendingSendLength(); }

  std::string wire;
  std::size_t budget = SIZE_MAX;
  int error = fw::kWsaEWouldBlock;
  std::string incoming;
  std::vector<std::string> lines;
  int offers = 0;
  int resolvedError = -1;
  std::string resolvedAddress;

 protected:
  int Transmit(const char* data, int length, int, int& failure) override {
    if (budget == 0) {
      failure = error;
      return fw::kSocketError;
    }
    const std::size_t count = std::min(static_cast<std::size_t>(length), budget);
    wire.append(data, count);
    budget -= count;
    return static_cast<int>(count);
  }
};

TEST(QBNotifySocketSend, HoldsDataUntilTheFirstWritableNotification) {
  ScriptedSocket socket;
  EXPECT_EQ(socket.SendText("HELO [a]\r\n"), 10);
  EXPECT_EQ(socket.SendText(std::string("MAIL\r\n")), 6);
  EXPECT_EQ(socket.wire, "");
  EXPECT_EQ(socket.IsSendReady(), 0);
  socket.OnSend(0);
  EXPECT_EQ(socket.wire, "HELO [a]\r\nMAIL\r\n");
  EXPECT_EQ(socket.IsSendReady(), 1);
  EXPECT_EQ(socket.SendText("X"), 1);
  EXPECT_EQ(socket.wire, "HELO [a]\r\nMAIL\r\nX");
  EXPECT_EQ(socket.Send("", 0), 0);
}

TEST(QBNotifySocketSend, PartialWriteKeepsTheTailFirstInLine) {
  ScriptedSocket socket;
  socket.OnSend(0);
  socket.budget = 3;
  EXPECT_EQ(socket.SendText("abcdef"), 6) << "the caller is told everything was taken";
  EXPECT_EQ(socket.wire, "abc");
  EXPECT_EQ(socket.IsSendReady(), 0);
  EXPECT_EQ(socket.SendText("gh"), 2);
  EXPECT_EQ(socket.wire, "abc");
  socket.budget = SIZE_MAX;
  socket.OnSend(0);
  EXPECT_EQ(socket.wire, "abcdefgh");
  EXPECT_EQ(socket.Pending(), 0u);
}

TEST(QBNotifySocketSend, HardErrorDropsWhatWaitedAndResetStopsWriting) {
  ScriptedSocket socket;
  socket.OnSend(0);
  socket.budget = 0;
  socket.error = fw::kWsaENotConn;
  EXPECT_EQ(socket.SendText("lost"), fw::kSocketError);
  EXPECT_EQ(socket.Pending(), 0u);
  EXPECT_EQ(socket.IsSendReady(), 1);

  socket.error = fw::kWsaEConnReset;
  EXPECT_EQ(socket.SendText("kept"), 4);
  EXPECT_EQ(socket.Pending(), 4u);
  EXPECT_EQ(socket.IsSendReady(), 0) << "nothing more is fed to a reset connection";
}

TEST(QBNotifySocketSend, WaitingDataCostsLinearMemory) {
  ScriptedSocket socket;  // never writable
  const std::string piece(100, 'p');
  const std::size_t before = g_allocatedBytes;
  for (int i = 0; i < 20000; ++i) socket.SendText(piece);
  EXPECT_EQ(socket.Pending(), 2000000u);
  EXPECT_LT(g_allocatedBytes - before, 16u * 1024 * 1024) << "2 MB queued must not cost gigabytes of copies";
  socket.OnSend(0);
  EXPECT_EQ(socket.wire.size(), 2000000u);
}

TEST(QBNotifySocketReceive, EveryLineOfOneReadIsOffered) {
  ScriptedSocket socket;
  socket.incoming = "220 a\r\n250-b\r\n250 c\r\npart";
  socket.OnReceive(0);
  EXPECT_EQ(socket.lines, (std::vector<std::string>{"220 a", "250-b", "250 c"}));
  socket.incoming = "ial\r\n";
  socket.OnReceive(0);
  EXPECT_EQ(socket.lines.back(), "partial") << "a line in two reads is delivered once, whole";
  EXPECT_EQ(socket.lines.size(), 4u);
}

TEST(QBNotifySocketReceive, ErrorNotificationAndFailedReadAreHarmless) {
  ScriptedSocket socket;
  socket.incoming = "250 x\r\n";
  socket.OnReceive(fw::kWsaEConnReset);
  EXPECT_TRUE(socket.lines.empty());
  socket.incoming.clear();
  socket.OnReceive(0);  // a spurious notification: the read fails
  EXPECT_TRUE(socket.lines.empty());
}

// The hidden window and its owner, on a thread with a message loop.
struct WindowOwner : CSocketWndOwner {
  virtual ~WindowOwner() = default;
  CNotifySocketWnd* window = nullptr;
  CNotifySocketWnd* GetSocketWnd() const override { return window; }
  void DeleteSocketWnd() override {
    if (CNotifySocketWnd* w = std::exchange(window, nullptr)) w->Release();
  }
};

class QBNotifySocketLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    m_loop.Run([&] { m_owner.window = new CNotifySocketWnd(&m_owner, nullptr); });
  }
  void TearDown() override {
    m_loop.Run([&] { delete std::exchange(m_owner.window, nullptr); });
  }
  mailtest::LoopThread m_loop;
  WindowOwner m_owner;
};

TEST_F(QBNotifySocketLookup, DottedAddressOrMissingWindowStartsNoLookup) {
  m_loop.Run([&] {
    ScriptedSocket socket(&m_owner);
    EXPECT_FALSE(socket.StartHostLookup("127.0.0.1"));
    EXPECT_EQ(socket.Lookup(), nullptr);
    ScriptedSocket orphan(nullptr);
    EXPECT_FALSE(orphan.StartHostLookup("localhost"));
    EXPECT_EQ(orphan.Lookup(), nullptr);
  });
}

TEST_F(QBNotifySocketLookup, CompletionReachesTheSocketThatAsked) {
  ScriptedSocket socket(&m_owner);
  fw::HANDLE lookup = nullptr;
  m_loop.Run([&] {
    ASSERT_TRUE(socket.StartHostLookup("localhost"));
    lookup = socket.Lookup();
    EXPECT_NE(lookup, nullptr);
    EXPECT_TRUE(m_owner.window->HasLookup(lookup));
  });
  for (int i = 0; i < 5000 && m_loop.Run([&] { return socket.resolvedError; }) == -1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  m_loop.Run([&] {
    EXPECT_EQ(socket.resolvedError, 0);
    EXPECT_EQ(socket.resolvedAddress, "127.0.0.1");
    EXPECT_EQ(socket.Lookup(), nullptr);
    EXPECT_FALSE(m_owner.window->HasLookup(lookup));
  });
}

TEST_F(QBNotifySocketLookup, DestroyedSocketCancelsItsLookupAndLateCompletionsAreIgnored) {
  m_loop.Run([&] {
    fw::HANDLE lookup = nullptr;
    {
      ScriptedSocket socket(&m_owner);
      ASSERT_TRUE(socket.StartHostLookup("localhost"));
      lookup = socket.Lookup();
      EXPECT_TRUE(m_owner.window->HasLookup(lookup));
    }
    EXPECT_FALSE(m_owner.window->HasLookup(lookup));
    // A completion for a handle that is not registered: ignored, answered with 1.
    const fw::HWND hwnd = m_owner.window->GetSafeHwnd();
    EXPECT_EQ(fw::CWnd::SendMessage(hwnd, WM_HOSTLOOKUP_DONE, reinterpret_cast<fw::WPARAM>(lookup), 0), 1);
  });
}

}  // namespace
