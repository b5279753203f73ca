// The TLS layer under CQBNotifySocket: handshake and record bytes queued for the connection,
// written as it takes them.
#include "mail/TlsTransport.h"

#include <algorithm>

namespace {

// Largest single write handed to the platform.
constexpr std::size_t kMaxWrite = 1 << 20;

}  // namespace

CTlsTransport::CTlsTransport(fw::CAsyncSocket& socket, const fw::TlsSettings& settings, bool bWritable)
    : m_socket(socket), m_channel(fw::CTlsChannel::Create(settings)), m_bWritable(bWritable) {}

void CTlsTransport::Start(const char* pending, std::size_t length) {
  if (length > 0) m_wire.append(pending, length);
  m_channel->Start(m_wire);
  FlushWire();
}

bool CTlsTransport::OnWritable() {
  if (m_nWireError == 0) m_bWritable = true;
  FlushWire();
  return IsWritable() && IsOpen();
}

void CTlsTransport::OnReceived(const char* data, std::size_t length, std::string& plain) {
  m_channel->Receive(data, length, plain, m_wire);
  FlushWire();
}

int CTlsTransport::Transmit(const char* data, int length, int& error) {
  if (m_nWireError != 0) {
    error = m_nWireError;
    return fw::kSocketError;
  }
  if (IsHandshaking()) {
    error = fw::kWsaEWouldBlock;
    return fw::kSocketError;
  }
  if (!IsOpen()) {
    error = fw::kWsaENotConn;
    return fw::kSocketError;
  }
  FlushWire();
  if (!IsWritable()) {
    error = m_nWireError != 0 ? m_nWireError : fw::kWsaEWouldBlock;
    return fw::kSocketError;
  }
  const std::size_t count = std::min(static_cast<std::size_t>(std::max(length, 0)), kEncryptBatch);
  if (!m_channel->Encrypt(data, count, m_wire)) {
    error = fw::kWsaEConnAborted;
    return fw::kSocketError;
  }
  FlushWire();
  if (m_nWireError != 0) {
    error = m_nWireError;
    return fw::kSocketError;
  }
  return static_cast<int>(count);
}

bool CTlsTransport::Shutdown() {
  const bool sent = m_channel->Shutdown(m_wire);
  FlushWire();
  return sent;
}

void CTlsTransport::FlushWire() {
  while (m_bWritable && m_nWireStart < m_wire.size()) {
    const std::size_t chunk = std::min(m_wire.size() - m_nWireStart, kMaxWrite);
    const int sent = m_socket.fw::CAsyncSocket::Send(m_wire.data() + m_nWireStart, static_cast<int>(chunk), 0);
    if (sent > 0) {
      m_nWireStart += std::min(static_cast<std::size_t>(sent), chunk);
      continue;
    }
    const int error = fw::CAsyncSocket::GetLastError();
    m_bWritable = false;
    // Would block: the rest goes out at the next writable notification. Anything else ends
    // writing for good; the bytes stay until the transport goes.
    if (error != fw::kWsaEWouldBlock) m_nWireError = error != 0 ? error : fw::kWsaENotConn;
    return;
  }
  if (m_nWireStart == m_wire.size()) {
    m_wire.clear();
    m_nWireStart = 0;
  }
}
