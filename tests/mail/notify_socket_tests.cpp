// The socket layer under the SMTP client: send errors, memory that stays linear while the
// connection waits, every received line offered, and a lookup that ends with its socket.
// Partial writes and a socket that stops being send-ready are covered by message composition.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>

#include "mail/NotifySocketWnd.h"
#include "mail/QBNotifySocket.h"
#include "mail_test_support.h"

namespace {
std::atomic<std::size_t> g_allocatedBytes{0};
}  // namespace

// Counts the bytes this test program allocates.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocatedBytes += size;
  return std::malloc(size ? size : 1);
}
void* operator new(std::size_t size) {
  if (void* p = operator new(size, std::nothrow)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

// A socket whose reads return `incoming`; it takes one line per offer.
class ScriptedSocket : public mailtest::WireSink<CQBNotifySocket> {
 public:
  explicit ScriptedSocket(CSocketWndOwner* pOwner = nullptr) : WireSink(pOwner) {}

  int Receive(void* buffer, int length, int) override {
    if (incoming.empty()) return fw::kSocketError;
    const std::size_t count = std::min(incoming.size(), static_cast<std::size_t>(length));
    std::memcpy(buffer, incoming.data(), count);
    incoming.erase(0, count);
    return static_cast<int>(count);
  }
  int OnReceivedData(const char*& data, int& length) override {
    std::string line;
    if (!ExtractLine(data, length, line)) return 0;
    lines.push_back(line);
    return 1;
  }
  void OnSendError(int errorCode) override { reported = errorCode; }
  fw::HANDLE Lookup() const { return m_hLookup; }
  std::size_t Pending() const { return GetPendingSendLength(); }

  std::string incoming;
  int reported = 0;  // the error OnSendError was told of
  std::vector<std::string> lines;
};

TEST(QBNotifySocketSend, HardErrorsStopWritingAndAreReportedWhileWouldBlockWaits) {
  // The write's error, what SendText answers, the bytes left waiting, the error reported.
  const std::tuple<int, int, std::size_t, int> cases[] = {{fw::kWsaEWouldBlock, 4, 4, 0},
                                                          {fw::kWsaENotConn, fw::kSocketError, 0, fw::kWsaENotConn},
                                                          {fw::kWsaEConnReset, 4, 4, fw::kWsaEConnReset}};
  for (const auto& c : cases) {
    ScriptedSocket socket;
    socket.OnSend(0);
    socket.budget = 0;
    socket.error = std::get<0>(c);
    const int sent = socket.SendText("text");
    EXPECT_EQ(std::tuple(socket.error, sent, socket.Pending(), socket.reported), c);
    EXPECT_EQ(socket.IsSendReady(), 0) << socket.error;
  }
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

TEST(QBNotifySocketReceive, EveryLineOfOneReadIsOfferedAndFailedReadsAreHarmless) {
  ScriptedSocket socket;
  socket.incoming = "250 x\r\n";
  socket.OnReceive(fw::kWsaEConnReset);  // an error notification reads nothing
  socket.incoming = "220 a\r\n250-b\r\n250 c\r\npart";
  socket.OnReceive(0);
  socket.OnReceive(0);  // spurious: the read fails
  socket.incoming = "ial\r\n";
  socket.OnReceive(0);
  EXPECT_EQ(socket.lines, (std::vector<std::string>{"220 a", "250-b", "250 c", "partial"}));
}

// The owner of a hidden window.
struct WindowOwner : CSocketWndOwner {
  virtual ~WindowOwner() = default;
  CNotifySocketWnd* window = nullptr;
  CNotifySocketWnd* GetSocketWnd() const override { return window; }
  void DeleteSocketWnd() override {
    if (CNotifySocketWnd* w = std::exchange(window, nullptr)) w->Release();
  }
};

TEST(QBNotifySocketLookup, DestroyedSocketCancelsItsLookupAndLateCompletionsAreIgnored) {
  qbtest::LoopThread loop;
  WindowOwner owner;
  loop.Run([&] {
    owner.window = new CNotifySocketWnd(&owner, nullptr);
    fw::HANDLE lookup = nullptr;
    {
      ScriptedSocket socket(&owner);
      EXPECT_TRUE(socket.StartHostLookup("localhost"));
      lookup = socket.Lookup();
      EXPECT_TRUE(owner.window->HasLookup(lookup));
    }
    EXPECT_FALSE(owner.window->HasLookup(lookup));
    const fw::HWND hwnd = owner.window->GetSafeHwnd();
    EXPECT_EQ(fw::CWnd::SendMessage(hwnd, WM_HOSTLOOKUP_DONE, reinterpret_cast<fw::WPARAM>(lookup), 0), 1);
    delete std::exchange(owner.window, nullptr);
  });
}

}  // namespace
