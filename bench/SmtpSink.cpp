// The benchmarks' loopback SMTP server (see SmtpSink.h).
#include "bench/SmtpSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "bench/TlsIdentity.h"

namespace bench {
namespace {

constexpr char kMarker[] = "\r\n.\r\n";
constexpr std::size_t kMarkerLength = 5;
constexpr std::size_t kReadBlock = 1 << 20;
constexpr std::size_t kMaxCommandLine = 4096;
constexpr int kReadsPerWake = 16;

// The end of the first marker that lies wholly in [data, data + length), or 0. Looks only at
// the line feeds (memchr), so that most bytes are never touched one by one.
std::size_t FindMarkerEnd(const char* data, std::size_t length) {
  const char* const end = data + length;
  const char* p = data + 1;  // the marker's LF is its second byte
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (lf == nullptr || end - lf < 4) return 0;
    if (lf[-1] == '\r' && lf[1] == '.' && lf[2] == '\r' && lf[3] == '\n') {
      return static_cast<std::size_t>(lf - data) + 4;
    }
    p = lf + 1;
  }
  return 0;
}

}  // namespace

struct SmtpSink::Connection {
  int fd = -1;
  SSL* ssl = nullptr;  // after STARTTLS
  bool handshaking = false;
  bool inData = false;
  bool closeAfterReply = false;
  std::string line;  // command bytes without their LF yet
  std::string tail;  // the last bytes of DATA, for a marker split across reads
  Message message;
  std::FILE* capture = nullptr;
};

SmtpSink::SmtpSink(std::size_t keepBytes, const TlsIdentity* tls) : m_nKeepBytes(keepBytes), m_readBuffer(kReadBlock) {
  if (tls != nullptr) {
    m_tlsContext = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(m_tlsContext, TLS1_2_VERSION);
    SSL_CTX_use_certificate(m_tlsContext, tls->cert);
    SSL_CTX_use_PrivateKey(m_tlsContext, tls->key);
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4096) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    return;
  }
  m_port = ntohs(address.sin_port);
  m_epollFd = epoll_create1(EPOLL_CLOEXEC);
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_epollFd < 0 || m_wakeFd < 0) {
    close(fd);
    return;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the listening socket
  epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event);
  event.data.ptr = &m_wakeFd;
  epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &event);
  m_listenFd = fd;
  m_thread = std::thread([this] { Run(); });
}

SmtpSink::~SmtpSink() {
  if (m_thread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(m_wakeFd, &one, sizeof one);
    m_thread.join();
  }
  if (m_listenFd >= 0) close(m_listenFd);
  if (m_epollFd >= 0) close(m_epollFd);
  if (m_wakeFd >= 0) close(m_wakeFd);
  SSL_CTX_free(m_tlsContext);
}

void SmtpSink::CaptureNextMessage(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_strCapturePath = path;
}

bool SmtpSink::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_delivered.wait_for(lock, timeout, [&] { return m_nAccepted >= count; });
}

std::size_t SmtpSink::MessageCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nAccepted;
}

std::vector<SmtpSink::Message> SmtpSink::TakeMessages() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<Message> messages;
  messages.swap(m_messages);
  return messages;
}

void SmtpSink::Run() {
  std::unordered_set<Connection*> connections;
  epoll_event events[256];
  for (;;) {
    const int count = epoll_wait(m_epollFd, events, 256, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      break;
    }
    bool stop = false;
    for (int i = 0; i < count; ++i) {
      void* const tag = events[i].data.ptr;
      if (tag == &m_wakeFd) {
        stop = true;
      } else if (tag == nullptr) {
        for (;;) {
          const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd < 0) break;
          auto* connection = new Connection;
          connection->fd = fd;
          connection->message.connected = Clock::now();
          epoll_event event{};
          event.events = EPOLLIN | EPOLLRDHUP;
          event.data.ptr = connection;
          epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event);
          connections.insert(connection);
          Reply(*connection, "220 sink ready\r\n");
        }
      } else {
        auto* connection = static_cast<Connection*>(tag);
        if (!OnReadable(*connection)) {
          connections.erase(connection);
          Close(connection);
        }
      }
    }
    if (stop) break;
  }
  for (Connection* connection : connections) Close(connection);
}

ssize_t SmtpSink::Receive(Connection& connection) {
  if (connection.ssl == nullptr) return recv(connection.fd, m_readBuffer.data(), m_readBuffer.size(), 0);
  // Records of up to 16 KiB each, until the block is full or nothing more has arrived.
  std::size_t filled = 0;
  while (filled < m_readBuffer.size()) {
    std::size_t read = 0;
    if (SSL_read_ex(connection.ssl, m_readBuffer.data() + filled, m_readBuffer.size() - filled, &read) == 1) {
      filled += read;
      continue;
    }
    const int error = SSL_get_error(connection.ssl, 0);
    if (filled > 0) break;
    if (error == SSL_ERROR_WANT_READ) {
      errno = EAGAIN;
      return -1;
    }
    return 0;  // close_notify, or a failure: the end
  }
  return static_cast<ssize_t>(filled);
}

bool SmtpSink::Handshake(Connection& connection) {
  for (;;) {
    const int result = SSL_do_handshake(connection.ssl);
    if (result == 1) {
      connection.handshaking = false;
      return true;
    }
    const int error = SSL_get_error(connection.ssl, result);
    if (error == SSL_ERROR_WANT_READ) return true;
    if (error != SSL_ERROR_WANT_WRITE) return false;
    pollfd writable{connection.fd, POLLOUT, 0};
    poll(&writable, 1, 1000);
  }
}

bool SmtpSink::OnReadable(Connection& connection) {
  for (int pass = 0; pass < kReadsPerWake; ++pass) {
    if (connection.handshaking) {
      if (!Handshake(connection)) return false;
      if (connection.handshaking) return true;
    }
    const ssize_t received = Receive(connection);
    if (received == 0) return false;
    if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    const char* data = m_readBuffer.data();
    std::size_t length = static_cast<std::size_t>(received);
    while (length > 0) {
      if (connection.inData) {
        std::size_t used = 0;
        const bool ended = OnData(connection, data, length, used);
        data += used;
        length -= used;
        if (ended) {
          connection.inData = false;
          if (connection.capture) {
            std::fclose(connection.capture);
            connection.capture = nullptr;
          }
          Reply(connection, "250 accepted\r\n");
          std::lock_guard<std::mutex> lock(m_mutex);
          connection.message.accepted = Clock::now();
          m_messages.push_back(std::move(connection.message));
          connection.message = Message();
          ++m_nAccepted;
          m_delivered.notify_all();
        }
        continue;
      }
      const char* lf = static_cast<const char*>(std::memchr(data, '\n', length));
      const std::size_t take = lf ? static_cast<std::size_t>(lf - data) + 1 : length;
      connection.line.append(data, lf ? take - 1 : take);
      data += take;
      length -= take;
      if (!lf) {
        if (connection.line.size() > kMaxCommandLine) return false;
        continue;
      }
      const bool plain = connection.ssl == nullptr;
      if (!OnCommands(connection)) return false;
      if (plain && connection.ssl != nullptr) break;  // STARTTLS: nothing sent in plain after it counts
    }
  }
  return true;
}

bool SmtpSink::OnCommands(Connection& connection) {
  std::string& line = connection.line;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string verb = line.substr(0, 4);
  for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  line.clear();
  if (verb == "QUIT") {
    Reply(connection, "221 bye\r\n");
    return false;
  }
  if (verb == "DATA") {
    connection.inData = true;
    connection.tail = "\r\n";  // the data starts at the beginning of a line
    connection.message.dataStarted = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_strCapturePath.empty()) {
      connection.capture = std::fopen(m_strCapturePath.c_str(), "wb");
      m_strCapturePath.clear();
    }
    Reply(connection, "354 go ahead\r\n");
    return true;
  }
  if (verb == "HELO" || verb == "EHLO") {
    const bool offerTls = verb == "EHLO" && m_tlsContext != nullptr && connection.ssl == nullptr;
    Reply(connection, offerTls ? "250-sink\r\n250 STARTTLS\r\n" : "250 sink\r\n");
    return true;
  }
  if (verb == "STAR" && m_tlsContext != nullptr && connection.ssl == nullptr) {
    Reply(connection, "220 ready for TLS\r\n");
    connection.ssl = SSL_new(m_tlsContext);
    SSL_set_fd(connection.ssl, connection.fd);
    SSL_set_accept_state(connection.ssl);
    connection.handshaking = true;
    return Handshake(connection);
  }
  if (verb == "MAIL" || verb == "RCPT" || verb == "RSET" || verb == "NOOP") {
    Reply(connection, "250 ok\r\n");
    return true;
  }
  Reply(connection, "500 unknown command\r\n");
  return true;
}

bool SmtpSink::OnData(Connection& connection, const char* data, std::size_t length, std::size_t& used) {
  // A marker that starts in the bytes of earlier reads ends within the first four of these.
  std::size_t end = 0;
  {
    char window[2 * kMarkerLength];
    const std::size_t head = std::min(length, kMarkerLength - 1);
    std::memcpy(window, connection.tail.data(), connection.tail.size());
    std::memcpy(window + connection.tail.size(), data, head);
    const std::size_t size = connection.tail.size() + head;
    const void* found = memmem(window, size, kMarker, kMarkerLength);
    if (found)
      end = static_cast<std::size_t>(static_cast<const char*>(found) - window) + kMarkerLength - connection.tail.size();
  }
  if (end == 0) end = FindMarkerEnd(data, length);
  used = end != 0 ? end : length;

  connection.message.dataBytes += used;
  if (connection.capture) std::fwrite(data, 1, used, connection.capture);
  if (connection.message.text.size() < m_nKeepBytes) {
    connection.message.text.append(data, std::min(used, m_nKeepBytes - connection.message.text.size()));
  }
  if (used >= kMarkerLength - 1) {
    connection.tail.assign(data + used - (kMarkerLength - 1), kMarkerLength - 1);
  } else {
    connection.tail.append(data, used);
    if (connection.tail.size() > kMarkerLength - 1)
      connection.tail.erase(0, connection.tail.size() - (kMarkerLength - 1));
  }
  return end != 0;
}

void SmtpSink::Reply(Connection& connection, const char* text) {
  if (connection.ssl == nullptr) {
    [[maybe_unused]] ssize_t sent = send(connection.fd, text, std::strlen(text), MSG_NOSIGNAL);
    return;
  }
  std::size_t written = 0;
  while (SSL_write_ex(connection.ssl, text, std::strlen(text), &written) != 1 &&
         SSL_get_error(connection.ssl, 0) == SSL_ERROR_WANT_WRITE) {
    pollfd writable{connection.fd, POLLOUT, 0};
    poll(&writable, 1, 1000);
  }
}

void SmtpSink::Close(Connection* connection) {
  epoll_ctl(m_epollFd, EPOLL_CTL_DEL, connection->fd, nullptr);
  SSL_free(connection->ssl);
  close(connection->fd);
  if (connection->capture) std::fclose(connection->capture);
  delete connection;
}

}  // namespace bench
