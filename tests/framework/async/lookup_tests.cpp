// Host-name resolution: dotted addresses, the blocking lookup, and asynchronous lookups whose
// completion is posted to a window of the worker thread.
#include <gtest/gtest.h>

#include <cstring>

#include "async_test_support.h"
#include "framework/async_socket.h"
#include "framework/host_lookup.h"
#include "resource.h"

namespace {

using qbtest::EventLog;
using qbtest::LoopThread;

constexpr fw::UINT kLookupDone = fw::kWmUser + 100;

std::uint32_t InMemory(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  const unsigned char bytes[4] = {a, b, c, d};
  std::uint32_t value;
  std::memcpy(&value, bytes, 4);
  return value;
}

TEST(InetAddr, AcceptsDottedAddressesOnly) {
  EXPECT_EQ(fw::InetAddr("127.0.0.1"), InMemory(127, 0, 0, 1));
  EXPECT_EQ(fw::InetAddr("192.168.10.254"), InMemory(192, 168, 10, 254));
  EXPECT_EQ(fw::InetAddr("0.0.0.0"), 0u);
  // The shorter and non-decimal forms of inet_addr.
  EXPECT_EQ(fw::InetAddr("127.1"), InMemory(127, 0, 0, 1));
  EXPECT_EQ(fw::InetAddr("10.1.258"), InMemory(10, 1, 1, 2));
  EXPECT_EQ(fw::InetAddr("0x7f.0.0.010"), InMemory(127, 0, 0, 8));
  // The all-ones address cannot be told from the failure value.
  EXPECT_EQ(fw::InetAddr("255.255.255.255"), fw::kInaddrNone);
  for (const char* text :
       {"localhost", "mail.example.com", "", "1.2.3.256", "1.2.3.4.5", "1..2.3", "1.2.3.4x", "08.1.1.1", "1.2.65536"}) {
    EXPECT_EQ(fw::InetAddr(text), fw::kInaddrNone) << text;
  }
}

// Checks a host entry for localhost laid out in `buffer` of `length` bytes.
void ExpectLocalhostEntry(const char* buffer, std::size_t length) {
  const auto* entry = reinterpret_cast<const fw::HostEnt*>(buffer);
  auto inside = [&](const void* p) { return p >= buffer && p < buffer + length; };
  EXPECT_EQ(entry->h_addrtype, fw::kAfInet);
  EXPECT_EQ(entry->h_length, 4);
  ASSERT_TRUE(inside(entry->h_name));
  EXPECT_NE(std::strlen(entry->h_name), 0u);
  ASSERT_TRUE(inside(entry->h_addr_list));
  ASSERT_TRUE(inside(entry->h_addr_list[0]));
  EXPECT_EQ(static_cast<unsigned char>(entry->h_addr_list[0][0]), 127);
}

TEST(GetHostByName, ResolvesLocalhostAndRefusesUnknownNames) {
  const fw::HostEnt* entry = fw::GetHostByName("localhost");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->h_addrtype, fw::kAfInet);
  EXPECT_EQ(entry->h_length, 4);
  ASSERT_NE(entry->h_addr_list[0], nullptr);
  EXPECT_EQ(static_cast<unsigned char>(entry->h_addr_list[0][0]), 127);
  EXPECT_EQ(fw::GetHostByName("nonexistent.invalid"), nullptr);
}

// A hidden window that records lookup completions.
class LookupWindow : public fw::CDialog {
 public:
  explicit LookupWindow(EventLog& log) : CDialog(IDD_QBNOTIFY_CONFIGURE), m_log(log) {}
  struct Completion {
    fw::WPARAM handle;
    fw::LPARAM lParam;
  };
  std::vector<Completion> m_completions;  // the window's thread only

 protected:
  fw::LRESULT WindowProc(fw::UINT message, fw::WPARAM wParam, fw::LPARAM lParam) override {
    if (message != kLookupDone) return CDialog::WindowProc(message, wParam, lParam);
    m_completions.push_back({wParam, lParam});
    m_log.Add("done");
    return 1;
  }

 private:
  EventLog& m_log;
};

class AsyncLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_thread.Start());
    ASSERT_TRUE(m_thread.Call([this] {
      m_window = std::make_unique<LookupWindow>(m_log);
      ASSERT_TRUE(m_window->Create());
    }));
  }
  void TearDown() override {
    m_thread.Call([this] { m_window.reset(); });
  }

  fw::HANDLE Start(const char* name, char* buffer, int length) {
    fw::HANDLE handle = nullptr;
    m_thread.Call([&] { handle = fw::AsyncGetHostByName(m_window->GetSafeHwnd(), kLookupDone, name, buffer, length); });
    return handle;
  }

  // The one completion, once it arrived.
  LookupWindow::Completion Completion() {
    EXPECT_TRUE(m_log.WaitFor("done"));
    LookupWindow::Completion result{};
    m_thread.Call([&] {
      EXPECT_EQ(m_window->m_completions.size(), 1u);
      if (!m_window->m_completions.empty()) result = m_window->m_completions.front();
    });
    return result;
  }

  EventLog m_log;
  std::unique_ptr<LookupWindow> m_window;
  alignas(8) char m_buffer[fw::kMaxGetHostStruct] = {};
  LoopThread m_thread;  // last: ends before the members its thread uses
};

TEST_F(AsyncLookupTest, LocalhostCompletesWithTheEntryInTheBuffer) {
  fw::HANDLE handle = Start("localhost", m_buffer, sizeof m_buffer);
  ASSERT_NE(handle, nullptr);
  const LookupWindow::Completion done = Completion();
  EXPECT_EQ(done.handle, reinterpret_cast<fw::WPARAM>(handle));
  EXPECT_EQ(fw::HiWord(done.lParam), 0);
  EXPECT_GT(fw::LoWord(done.lParam), sizeof(fw::HostEnt));
  EXPECT_LE(fw::LoWord(done.lParam), sizeof m_buffer);
  ExpectLocalhostEntry(m_buffer, fw::LoWord(done.lParam));
  // A completed request can no longer be cancelled.
  EXPECT_NE(fw::CancelAsyncRequest(handle), 0);
}

TEST_F(AsyncLookupTest, UnknownNameCompletesWithHostNotFound) {
  ASSERT_NE(Start("nonexistent.invalid", m_buffer, sizeof m_buffer), nullptr);
  EXPECT_EQ(fw::HiWord(Completion().lParam), fw::kWsaHostNotFound);
}

TEST_F(AsyncLookupTest, TooSmallBufferGivesNoBufsWithTheNeededLength) {
  char small[16];
  ASSERT_NE(Start("localhost", small, sizeof small), nullptr);
  const LookupWindow::Completion done = Completion();
  EXPECT_EQ(fw::HiWord(done.lParam), fw::kWsaENoBufs);
  EXPECT_GT(fw::LoWord(done.lParam), sizeof small);
}

TEST_F(AsyncLookupTest, CancelledLookupWritesAndPostsNothing) {
  std::memset(m_buffer, 0x5A, sizeof m_buffer);
  fw::HANDLE cancelled = nullptr;
  int cancelResult = -1;
  ASSERT_TRUE(m_thread.Call([&] {
    cancelled = fw::AsyncGetHostByName(m_window->GetSafeHwnd(), kLookupDone, "localhost", m_buffer, sizeof m_buffer);
    cancelResult = fw::CancelAsyncRequest(cancelled);
  }));
  ASSERT_NE(cancelled, nullptr);
  if (cancelResult != 0) {
    // Too late to cancel: the completion is delivered as usual.
    EXPECT_EQ(Completion().handle, reinterpret_cast<fw::WPARAM>(cancelled));
    return;
  }
  // A second lookup of the same name completes; the cancelled one must have stayed silent.
  alignas(8) char other[fw::kMaxGetHostStruct];
  fw::HANDLE second = Start("localhost", other, sizeof other);
  EXPECT_EQ(Completion().handle, reinterpret_cast<fw::WPARAM>(second));
  ASSERT_TRUE(m_thread.Call([] {}));
  ASSERT_TRUE(m_thread.Call([&] { EXPECT_EQ(m_window->m_completions.size(), 1u); }));
  for (char c : m_buffer) ASSERT_EQ(c, 0x5A);
}

}  // namespace
