// A socket that records each notification in an event log as "<prefix>connect <error>" (and
// send, receive, close). A reading socket instead takes what arrives in pieces of 700 bytes,
// each re-arming the notification, into m_received.
#pragma once

#include <string>
#include <utility>

#include "framework/async_socket.h"
#include "test_support.h"

namespace qbtest {

class RecordingSocket : public fw::CAsyncSocket {
 public:
  explicit RecordingSocket(EventLog& log, std::string prefix = "", bool reading = false)
      : m_log(log), m_prefix(std::move(prefix)), m_bReading(reading) {}
  void OnConnect(int error) override { Record("connect", error); }
  void OnSend(int error) override { Record("send", error); }
  void OnClose(int error) override { Record("close", error); }
  void OnReceive(int error) override {
    if (!m_bReading) return Record("receive", error);
    char buffer[700];
    const int count = error == 0 ? Receive(buffer, sizeof buffer) : 0;
    if (count > 0) m_received.append(buffer, static_cast<std::size_t>(count));
  }

  std::string m_received;  // the loop thread only

 private:
  void Record(const char* what, int error) { m_log.Add(m_prefix + what + " " + std::to_string(error)); }

  EventLog& m_log;
  std::string m_prefix;
  bool m_bReading;
};

}  // namespace qbtest
