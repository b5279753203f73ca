// A loopback SMTP server for the delivery benchmarks. One thread serves every connection with
// epoll; it answers each command at once, reads DATA in large blocks, counts its bytes and
// looks for the end-of-data marker without keeping the message, so that it is never the slow
// side of a transfer. On request it also keeps the beginning of each message (to check what
// arrived) or writes the next message's data to a file (to replay it with another client).
// Given a TLS identity it offers STARTTLS and speaks TLS (OpenSSL, TLS 1.2 or later) after it.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

struct TlsIdentity;

class SmtpSink {
 public:
  using Clock = std::chrono::steady_clock;

  struct Message {
    std::uint64_t dataBytes = 0;    // DATA bytes up to and including the end-of-data marker
    Clock::time_point connected;    // the connection was accepted
    Clock::time_point dataStarted;  // the 354 reply went out
    Clock::time_point accepted;     // the 250 reply to the marker went out
    std::string text;               // the first keepBytes bytes of the data
  };

  // Listens on 127.0.0.1 on a free port. keepBytes: how much of each message to keep; with
  // `tls`, STARTTLS is offered.
  explicit SmtpSink(std::size_t keepBytes = 0, const TlsIdentity* tls = nullptr);
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  bool IsListening() const { return m_listenFd >= 0; }
  std::uint16_t Port() const { return m_port; }

  // The raw data of the next message (marker included) goes to this file.
  void CaptureNextMessage(const std::string& path);
  // Waits until `count` messages in all have been accepted since the start; false on timeout.
  bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout);
  std::size_t MessageCount() const;
  // The messages accepted so far, in order; the sink forgets them.
  std::vector<Message> TakeMessages();

 private:
  struct Connection;

  void Run();
  void Accept();
  // False when the connection is to be closed.
  bool OnReadable(Connection& connection);
  bool OnCommands(Connection& connection);
  // Reads what arrived, decrypted when TLS is on: the count, 0 at the end, -1 with errno.
  ssize_t Receive(Connection& connection);
  // Goes on with a TLS handshake; false when it failed.
  bool Handshake(Connection& connection);
  // Consumes DATA bytes from the front of the buffer; true when the marker was reached.
  bool OnData(Connection& connection, const char* data, std::size_t length, std::size_t& used);
  void Reply(Connection& connection, const char* text);
  void Close(Connection* connection);

  SSL_CTX* m_tlsContext = nullptr;
  int m_listenFd = -1;
  int m_epollFd = -1;
  int m_wakeFd = -1;
  std::uint16_t m_port = 0;
  std::size_t m_nKeepBytes;
  std::vector<char> m_readBuffer;
  std::thread m_thread;

  mutable std::mutex m_mutex;
  std::condition_variable m_delivered;
  std::vector<Message> m_messages;
  std::size_t m_nAccepted = 0;
  std::string m_strCapturePath;
};

}  // namespace bench
