// CTlsTransport: the TLS layer between CQBNotifySocket and its connection. It owns the
// framework's channel and the bytes waiting for the connection (handshake messages and
// encrypted records), writes them as the connection takes them, and encrypts application data
// only while nothing waits, so what it holds stays bounded by one batch of records whatever
// the caller queues. It never blocks: a write that would block leaves the rest for the next
// writable notification.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "framework/async_socket.h"
#include "framework/tls.h"

class CTlsTransport {
 public:
  // Application bytes encrypted per Transmit: records of the largest size, written together.
  static constexpr std::size_t kEncryptBatch = 256 * 1024;

  // `socket` is the connection under the channel (its platform Send writes the bytes);
  // `bWritable` tells whether it can take data now or a writable notification is due.
  CTlsTransport(fw::CAsyncSocket& socket, const fw::TlsSettings& settings, bool bWritable);
  CTlsTransport(const CTlsTransport&) = delete;
  CTlsTransport& operator=(const CTlsTransport&) = delete;

  // Begins the handshake. `pending` (plain bytes accepted before TLS began) goes out first, as
  // it is.
  void Start(const char* pending, std::size_t length);
  // The connection can take data: writes what waits. True when nothing waits and the channel
  // is open, so that application data can go.
  bool OnWritable();
  // Bytes read from the connection; decrypted application data is appended to `plain`.
  void OnReceived(const char* data, std::size_t length, std::string& plain);
  // The connection ended; a handshake still under way fails.
  void OnConnectionEnded() { m_channel->ConnectionEnded(); }
  // Encrypts at most kEncryptBatch of the `length` bytes and writes them: the count taken, or
  // kSocketError with `error` (kWsaEWouldBlock while the handshake runs or records wait).
  int Transmit(const char* data, int length, int& error);
  // Sends close_notify, as far as the connection takes it now; false when the system cannot.
  bool Shutdown();

  bool IsHandshaking() const { return m_channel->GetState() == fw::CTlsChannel::State::Handshake; }
  bool IsOpen() const { return m_channel->GetState() == fw::CTlsChannel::State::Open; }
  // The connection can take data and nothing of ours waits for it.
  bool IsWritable() const { return m_bWritable && m_nWireStart == m_wire.size(); }
  const fw::CTlsChannel& Channel() const { return *m_channel; }

 private:
  // Writes waiting bytes while the connection takes them.
  void FlushWire();

  fw::CAsyncSocket& m_socket;
  std::unique_ptr<fw::CTlsChannel> m_channel;
  std::string m_wire;  // bytes for the connection; those before m_nWireStart went out
  std::size_t m_nWireStart = 0;
  bool m_bWritable;
  int m_nWireError = 0;  // the hard error that ended writing, or 0
};
