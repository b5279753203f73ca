// A scripted SMTP server for tests: listens on a free loopback port, accepts one connection on
// its own thread, plays what the server says and checks what the client sends, step by step.
// Plain sockets (Winsock on Windows), so it runs natively and under Wine.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ServerStep {
  enum class Kind {
    Say,         // send `text` (queued; goes out with the next step that waits or acts)
    Split,       // send what is queued now, then pause briefly
    ExpectLine,  // the client's next line (without CR LF) equals `text`; "{local}" is its address
    ExpectData,  // the message up to and including the end-of-data marker equals `lines`
    ReadBytes,   // read `number` bytes of whatever the client sends
    Close,       // close the connection
    Reset,       // reset the connection
    Pause,       // wait `number` ms
  };
  static ServerStep Make(Kind kind, std::string text = {}, long long number = 0) {
    ServerStep step;
    step.kind = kind;
    step.text = std::move(text);
    step.number = number;
    return step;
  }

  Kind kind = Kind::Pause;
  std::string text;
  std::vector<std::string> lines;  // ExpectData: each line without CR LF; a final "*" matches any rest
  long long number = 0;
};

class ScriptedSmtpServer {
 public:
  // receiveBuffer > 0 makes the connection's receive buffer that small (a slow reader);
  // `address` is the loopback address to listen on.
  explicit ScriptedSmtpServer(std::vector<ServerStep> steps, int receiveBuffer = 0, const char* address = "127.0.0.1");
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  std::uint16_t Port() const { return m_port; }
  // Waits until the script has ended and the client has closed (or the deadline passed).
  bool Wait(std::chrono::milliseconds timeout);
  // Ends the server: stops waiting for a connection or for the client.
  void Stop();

  bool Accepted() const { return m_accepted.load(); }
  std::vector<std::string> Failures() const;
  std::string Received() const;  // every byte the client sent

  // A loopback port on which nothing listens.
  static std::uint16_t UnusedPort();

 private:
  void Run();
  bool RunStep(const ServerStep& step);
  bool Flush();
  // Reads more bytes into m_inbox; false on EOF, error, stop or deadline.
  bool ReadMore();
  void Fail(const std::string& what);

  std::vector<ServerStep> m_steps;
  std::intptr_t m_listener = -1;
  std::intptr_t m_connection = -1;
  std::uint16_t m_port = 0;
  std::string m_outbox;
  std::string m_inbox;
  std::string m_peerAddress;
  bool m_bPeerClosed = false;

  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_accepted{false};
  mutable std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_bDone = false;
  std::vector<std::string> m_failures;
  std::string m_received;
  std::thread m_thread;
};
