// Failure records on POSIX systems: one syslog datagram to the local syslog socket, written
// here rather than through syslog(3), whose openlog() state belongs to the host process.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>

#include "framework/backend.h"
#include "framework/clock.h"
#include "framework/codepage.h"
#include "framework/module_end.h"
#include "framework/posix/syslog_socket.h"

namespace fw {
namespace posix {
namespace {

constexpr int kFacilityUser = 1 << 3;
constexpr int kSeverityError = 3;
constexpr const char* kIdent = "QBNotifyAddOn";
constexpr const char* kDefaultSocket = "/dev/log";

struct SocketSetting {
  std::mutex mutex;
  std::string path;  // empty: kDefaultSocket
};

SocketSetting& TheSocketSetting() {
  static SocketSetting* setting = KeepUntilModuleEnd(new SocketSetting);  // outlives every static user
  return *setting;
}

std::string SocketPath() {
  SocketSetting& setting = TheSocketSetting();
  std::lock_guard<std::mutex> lock(setting.mutex);
  return setting.path.empty() ? kDefaultSocket : setting.path;
}

// Sends `record` over a socket of `type` connected to `path`; a stream socket gets the record
// with a terminating zero byte, as syslog daemons expect there. Nothing waits: a daemon whose
// queue is full (a stream socket's backlog too) loses the record instead of stalling the caller.
bool SendTo(const std::string& path, int type, const std::string& record) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool sent = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  const std::size_t size = record.size() + (type == SOCK_STREAM ? 1 : 0);
  std::size_t done = 0;
  while (sent && done < size) {
    const ssize_t put = ::send(fd, record.c_str() + done, size - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    sent = put > 0;
    if (sent) done += static_cast<std::size_t>(put);
  }
  ::close(fd);
  return sent;
}

}  // namespace

void SetSyslogSocketPath(std::string path) {
  SocketSetting& setting = TheSocketSetting();
  std::lock_guard<std::mutex> lock(setting.mutex);
  setting.path = std::move(path);
}

std::string FormatSyslogRecord(std::string_view text, std::int64_t time, long pid) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t when = static_cast<std::time_t>(time);
  std::tm local{};
  if (::localtime_r(&when, &local) == nullptr) local = std::tm{};
  char head[96];
  std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d %s[%ld]: ", kFacilityUser | kSeverityError,
                kMonths[local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0], local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec, kIdent, pid);
  return head + Windows1252ToUtf8(text);
}

}  // namespace posix

namespace backend {

bool WriteFailureRecord(const std::string& text) {
  const std::string record = posix::FormatSyslogRecord(text, Time64(), static_cast<long>(::getpid()));
  const std::string path = posix::SocketPath();
  // A datagram socket (journald, rsyslog), else a stream socket (some older daemons).
  return posix::SendTo(path, SOCK_DGRAM, record) || posix::SendTo(path, SOCK_STREAM, record);
}

}  // namespace backend
}  // namespace fw
