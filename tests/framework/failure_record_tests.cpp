// Failure records: the test sink sees every record as the system log would get it; one real
// record per backend. POSIX: a syslog socket of the test's own, datagram and stream. Windows:
// RegisterEventSourceA and ReportEventA take the record (Wine only traces it, on its
// "eventlog" debug channel: the CTest test FailureRecord.WineTracesTheEvent checks that trace).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/failure_record.h"
#include "test_support.h"

#if defined(_WIN32)
#include "framework/win32/windows_api.h"
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <future>

#include "framework/posix/syslog_socket.h"
#endif

namespace {

using namespace std::string_literals;

TEST(FailureRecord, TheSinkGetsEveryRecordCutToLengthWithoutZeroBytes) {
  std::vector<std::string> records;
  fw::testing::SetFailureRecordSink([&records](const std::string& text) { records.push_back(text); });
  EXPECT_TRUE(fw::RecordDeliveryFailure("Zustellung an smtp.example fehlgeschlagen: 550 Gr\xfc\xdf"));
  EXPECT_TRUE(fw::RecordDeliveryFailure("a\0b"s));
  EXPECT_TRUE(fw::RecordDeliveryFailure(std::string(fw::kMaxFailureRecordBytes + 10, 'x')));
  fw::testing::SetFailureRecordSink(nullptr);
  EXPECT_EQ(records, (std::vector<std::string>{"Zustellung an smtp.example fehlgeschlagen: 550 Gr\xfc\xdf", "a b",
                                               std::string(fw::kMaxFailureRecordBytes, 'x')}));
}

#if defined(_WIN32)
TEST(FailureRecord, TheEventLogTakesARealRecord) {
  // Wine prints it on its eventlog channel; see the file's opening comment.
  EXPECT_TRUE(fw::RecordDeliveryFailure("QBNotifyAddOn-Testeintrag: Zustellung fehlgeschlagen (\xfc)"));
}

// The event viewer formats a record with the module's message table (the setup registers the
// module as the source's message file): event 1 must show the record's text as it is, with
// nothing added around it and nothing inside it read as an insert.
TEST(FailureRecord, TheMessageTableShowsTheTextAsItIs) {
  const std::string text = "Profil \"Main\": smtp.example, RCPT TO:\r\n550 5.1.1 Postfach %1 100% voll (\xfc)";
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
  char shown[512] = {};
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, ::GetModuleHandleA(nullptr), 1, 0,
                       shown, sizeof shown, reinterpret_cast<va_list*>(inserts));
  EXPECT_EQ(std::string(shown, length), text);
}
#else
sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// A syslog socket of the test's own, of `type`, that the records are sent to.
class SyslogSocket {
 public:
  explicit SyslogSocket(int type) : m_fd(::socket(AF_UNIX, type, 0)) {
    EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&m_address), sizeof m_address), 0);
    if (type == SOCK_STREAM) {
      EXPECT_EQ(::listen(m_fd, 1), 0);
    }
    fw::posix::SetSyslogSocketPath(m_address.sun_path);
  }
  ~SyslogSocket() {
    fw::posix::SetSyslogSocketPath("");
    Close();
  }
  void Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  SyslogSocket(const SyslogSocket&) = delete;
  SyslogSocket& operator=(const SyslogSocket&) = delete;

  // What one sender sent (a stream up to its end).
  std::string Receive(int type) const {
    const int from = type == SOCK_STREAM ? ::accept(m_fd, nullptr, nullptr) : m_fd;
    std::string received;
    char buffer[8192];
    for (ssize_t got; (got = ::recv(from, buffer, sizeof buffer, 0)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(got));
      if (type == SOCK_DGRAM) break;
    }
    if (from != m_fd) ::close(from);
    return received;
  }

 private:
  qbtest::TempDir m_dir;
  int m_fd;

 public:
  const sockaddr_un m_address = AddressOf(m_dir.File("log"));
};

TEST(FailureRecord, ARealRecordReachesTheSyslogSocketInUtf8) {
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    SyslogSocket socket(type);
    ASSERT_TRUE(fw::RecordDeliveryFailure("Zustellung fehlgeschlagen: M\xfcller"));
    const std::string record = socket.Receive(type);
    const std::string tail =
        " QBNotifyAddOn[" + std::to_string(::getpid()) + "]: Zustellung fehlgeschlagen: M\xc3\xbcller";
    EXPECT_EQ(record.substr(0, 4), "<11>") << record;
    EXPECT_EQ(record.substr(std::min(record.size(), std::size_t{19})), tail + (type == SOCK_STREAM ? "\0"s : ""s))
        << record;
  }
  qbtest::TempDir dir;
  fw::posix::SetSyslogSocketPath(dir.File("log"));
  EXPECT_FALSE(fw::RecordDeliveryFailure("nobody listens"));
  fw::posix::SetSyslogSocketPath("");
}

// A stream daemon that accepts nothing more (its backlog is full) loses the record: the caller,
// which may hold the worker's queue lock that the host's thread waits for, never waits for it.
TEST(FailureRecord, AFullSyslogQueueLosesTheRecordWithoutWaiting) {
  SyslogSocket socket(SOCK_STREAM);
  std::vector<int> unaccepted;
  for (;;) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&socket.m_address), sizeof socket.m_address) != 0) {
      ::close(fd);
      break;
    }
    unaccepted.push_back(fd);
  }
  auto recorded = std::async(std::launch::async, [] { return fw::RecordDeliveryFailure("queue full"); });
  const bool returned = recorded.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  socket.Close();  // wakes a caller that waits for the daemon
  EXPECT_TRUE(returned);
  EXPECT_FALSE(recorded.get());
  for (const int fd : unaccepted) ::close(fd);
}

TEST(FailureRecord, TheHeaderHasTheRfc3164TimeOfDay) {
  {
    qbtest::ScopedEnv tz("TZ", "UTC");
    ::tzset();
    EXPECT_EQ(fw::posix::FormatSyslogRecord("x", 1700000000, 42), "<11>Nov 14 22:13:20 QBNotifyAddOn[42]: x");
    EXPECT_EQ(fw::posix::FormatSyslogRecord("", 1704067200, 7), "<11>Jan  1 00:00:00 QBNotifyAddOn[7]: ");
  }
  ::tzset();
}
#endif

}  // namespace
