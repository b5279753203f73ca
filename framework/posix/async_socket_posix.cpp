// CAsyncSocket of the posix backend: a non-blocking IPv4 stream socket watched by its thread's
// event loop, whose readiness is turned into notifications with asynchronous-select rules:
// one OnConnect; OnSend after the connection and after a send that would block; OnReceive
// re-armed by each Receive; OnClose once, after the data before it was offered.
// Once created, the socket is used, closed and destroyed on its loop's thread only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "framework/async_socket.h"
#include "framework/owner_thread.h"
#include "framework/posix/event_loop.h"
#include "framework/posix/fault_injection.h"
#include "framework/posix/net_util.h"

namespace fw {
namespace {

#if defined(POLLRDHUP)
constexpr short kPollPeerClosed = POLLRDHUP;
#else
constexpr short kPollPeerClosed = 0;
#endif

#if defined(MSG_NOSIGNAL)
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

constexpr int kWsaEAlready = 10037;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaESocktNoSupport = 10044;

// An injected connect error of this kind arrives through OnConnect, as it would from the
// network; any other fails the Connect call at once.
bool IsReportedLater(int error) {
  return error == kWsaEConnRefused || error == kWsaETimedOut || error == kWsaEHostUnreach || error == kWsaENetUnreach;
}

bool Fail(int error) {
  posix::SetLastSocketError(error);
  return false;
}

int FailCount(int error) {
  posix::SetLastSocketError(error);
  return kSocketError;
}

}  // namespace

struct CAsyncSocket::Impl final : posix::SocketWatcher {
  enum class Phase { Idle, Connecting, Connected, Failed };

  explicit Impl(CAsyncSocket& owner) : m_owner(owner) {}
  ~Impl() { Close(); }

  // True on the thread whose loop watches the socket, and while the socket is not created.
  bool OnOwnerThread() const { return !m_loop || m_loop->MayUse(); }

  int Descriptor() const override { return m_fd; }

  short PollEvents() const override {
    if (m_fd < 0) return 0;
    switch (m_phase) {
      case Phase::Connecting:
        return m_nInjectedConnectError != 0 ? 0 : POLLOUT;
      case Phase::Connected: {
        short events = m_bWriteArmed ? POLLOUT : 0;
        // Without an armed read the peer's close is still watched, but not its data.
        if (!m_bCloseDelivered) events |= m_bReadArmed ? (POLLIN | kPollPeerClosed) : kPollPeerClosed;
        return events;
      }
      default:
        return 0;
    }
  }

  bool HasImmediateEvent() const override { return m_phase == Phase::Connecting && m_nInjectedConnectError != 0; }

  void OnReady(short revents) override {
    if (m_phase == Phase::Connecting) {
      FinishConnect(revents);
    } else if (m_phase == Phase::Connected) {
      DeliverConnected(revents);
    }
  }

  void FinishConnect(short revents) {
    int error = m_nInjectedConnectError;
    if (error != 0) {
      m_nInjectedConnectError = 0;
    } else {
      if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return;
      int pending = 0;
      socklen_t size = sizeof pending;
      if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) pending = errno;
      error = posix::WinsockErrorFromErrno(pending);
    }
    if (error == 0) {
      m_phase = Phase::Connected;
      m_bReadArmed = true;
      m_bWriteArmed = true;
    } else {
      m_phase = Phase::Failed;
    }
    if (m_nEventMask & kFdConnect) m_owner.OnConnect(error);
  }

  void DeliverConnected(short revents) {
    if (m_bWriteArmed && (revents & POLLOUT)) {
      m_bWriteArmed = false;
      if (m_nEventMask & kFdWrite) m_owner.OnSend(0);
      return;
    }
    if (m_bCloseDelivered) {
      if (revents & (POLLHUP | POLLERR)) m_bWriteArmed = false;  // nothing left to watch
      return;
    }
    if ((revents & (POLLIN | kPollPeerClosed | POLLHUP | POLLERR)) == 0) return;

    // What is there decides: data (offered first), the peer's end, or its reset.
    char byte;
    const ssize_t peeked = recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked > 0) {
      if (m_bReadArmed) {
        m_bReadArmed = false;
        if (m_nEventMask & kFdRead) m_owner.OnReceive(0);
      } else if (revents & (kPollPeerClosed | POLLHUP | POLLERR)) {
        // The data was offered and left unread while the peer went away.
        DeliverClose((revents & POLLERR) ? kWsaEConnReset : 0);
      }
      return;
    }
    if (peeked == 0) {
      DeliverClose(0);
      return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;  // spurious
    DeliverClose(posix::WinsockErrorFromErrno(errno));
  }

  void DeliverClose(int error) {
    m_bCloseDelivered = true;
    m_bReadArmed = false;
    if (m_nEventMask & kFdClose) m_owner.OnClose(error);
  }

  bool Create(UINT port, int type, long eventMask) {
    if (m_fd >= 0) return Fail(kWsaEInval);
    if (type != kSockStream) return Fail(kWsaESocktNoSupport);
    if (const int injected = posix::faults::Take(posix::faults::Op::SocketCreate)) return Fail(injected);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return Fail(posix::WinsockErrorFromErrno(errno));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    const int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    if (port != 0) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(INADDR_ANY);
      local.sin_port = htons(static_cast<std::uint16_t>(port));
      if (port > 0xFFFF || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = port > 0xFFFF ? kWsaEInval : posix::WinsockErrorFromErrno(errno);
        close(fd);
        return Fail(error);
      }
    }
    m_fd = fd;
    m_nEventMask = eventMask;
    m_phase = Phase::Idle;
    m_loop = posix::EventLoop::CurrentShared();
    m_nWatchId = m_loop->Watch(this);
    return true;
  }

  bool Connect(const char* address, UINT port) {
    FW_ASSERT_OWNER_THREAD(OnOwnerThread());
    if (m_fd < 0) return Fail(kWsaENotSock);
    if (m_phase == Phase::Connecting) return Fail(kWsaEAlready);
    if (m_phase == Phase::Connected) return Fail(kWsaEIsConn);
    std::uint32_t host;
    if (!posix::ParseDottedIpv4(address, host) || port == 0 || port > 0xFFFF) return Fail(kWsaEInval);
    if (const int injected = posix::faults::Take(posix::faults::Op::Connect)) {
      if (!IsReportedLater(injected)) return Fail(injected);
      m_phase = Phase::Connecting;
      m_nInjectedConnectError = injected;
      return Fail(kWsaEWouldBlock);
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl(host);
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
      m_phase = Phase::Connected;
      m_bReadArmed = true;
      m_bWriteArmed = true;
      return true;
    }
    if (errno == EINPROGRESS || errno == EINTR) {
      m_phase = Phase::Connecting;
      return Fail(kWsaEWouldBlock);
    }
    return Fail(posix::WinsockErrorFromErrno(errno));
  }

  int Receive(void* buffer, int length, int flags) {
    FW_ASSERT_OWNER_THREAD(OnOwnerThread());
    if (m_fd < 0) return FailCount(kWsaENotSock);
    if (length < 0) return FailCount(kWsaEInval);
    m_bReadArmed = true;  // any receive re-arms the read notification
    if (const int injected = posix::faults::Take(posix::faults::Op::Receive)) return FailCount(injected);
    const int systemFlags = ((flags & kMsgPeek) ? MSG_PEEK : 0) | MSG_DONTWAIT;
    const ssize_t count = recv(m_fd, buffer, static_cast<std::size_t>(length), systemFlags);
    if (count < 0) return FailCount(posix::WinsockErrorFromErrno(errno));
    return static_cast<int>(count);
  }

  int Send(const void* buffer, int length) {
    FW_ASSERT_OWNER_THREAD(OnOwnerThread());
    if (m_fd < 0) return FailCount(kWsaENotSock);
    if (length < 0) return FailCount(kWsaEInval);
    if (const int injected = posix::faults::Take(posix::faults::Op::Send)) {
      if (injected == kWsaEWouldBlock) m_bWriteArmed = true;
      return FailCount(injected);
    }
    const ssize_t count = send(m_fd, buffer, static_cast<std::size_t>(length), kNoSignal | MSG_DONTWAIT);
    if (count >= 0) return static_cast<int>(count);
    const int error = posix::WinsockErrorFromErrno(errno);
    if (error == kWsaEWouldBlock) m_bWriteArmed = true;  // OnSend follows once writable
    return FailCount(error);
  }

  void Close() {
    FW_ASSERT_OWNER_THREAD(OnOwnerThread());
    if (m_fd < 0) return;
    if (m_loop) m_loop->Unwatch(m_nWatchId);
    m_loop.reset();
    close(m_fd);
    m_fd = -1;
    m_phase = Phase::Idle;
    m_bReadArmed = m_bWriteArmed = m_bCloseDelivered = false;
    m_nInjectedConnectError = 0;
  }

  bool GetSockName(std::string& address, UINT& port) const {
    if (m_fd < 0) return Fail(kWsaENotSock);
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
      return Fail(posix::WinsockErrorFromErrno(errno));
    }
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) == nullptr) return Fail(kWsaEInval);
    address = text;
    port = ntohs(local.sin_port);
    return true;
  }

  CAsyncSocket& m_owner;
  int m_fd = -1;
  long m_nEventMask = 0;
  Phase m_phase = Phase::Idle;
  bool m_bReadArmed = false;
  bool m_bWriteArmed = false;
  bool m_bCloseDelivered = false;
  int m_nInjectedConnectError = 0;
  std::shared_ptr<posix::EventLoop> m_loop;
  std::uint64_t m_nWatchId = 0;
};

CAsyncSocket::CAsyncSocket() : m_impl(std::make_unique<Impl>(*this)) {}

CAsyncSocket::~CAsyncSocket() {
  m_impl->Close();
}

bool CAsyncSocket::Create(UINT port, int type, long eventMask) {
  return m_impl->Create(port, type, eventMask);
}

bool CAsyncSocket::IsCreated() const {
  return m_impl->m_fd >= 0;
}

bool CAsyncSocket::Connect(const char* address, UINT port) {
  return m_impl->Connect(address, port);
}

int CAsyncSocket::Receive(void* buffer, int length, int flags) {
  return m_impl->Receive(buffer, length, flags);
}

int CAsyncSocket::Send(const void* buffer, int length, int) {
  return m_impl->Send(buffer, length);
}

void CAsyncSocket::Close() {
  m_impl->Close();
}

bool CAsyncSocket::GetSockName(std::string& address, UINT& port) const {
  return m_impl->GetSockName(address, port);
}

int CAsyncSocket::GetLastError() {
  return posix::LastSocketError();
}

}  // namespace fw
