// CQBNotifySocket's TLS: starting the channel on a connection, routing received bytes through
// it, and the end of its handshake. The channel's own bytes are moved by CTlsTransport.
#include "mail/QBNotifySocket.h"

bool CQBNotifySocket::StartTls(const fw::TlsSettings& settings) {
  if (m_pTls || !IsCreated()) return false;
  m_pTls = std::make_unique<CTlsTransport>(*this, settings, m_bSendReady != 0);
  m_bSendReady = 0;  // application data waits for the handshake
  // Plain bytes that waited for the connection go out before the client's first message.
  const std::string pending(m_sendData.Data(), m_sendData.Size());
  m_sendData.Clear();
  m_pTls->Start(pending.data(), pending.size());
  if (!m_pTls->IsHandshaking()) EndTlsHandshake();
  return true;
}

bool CQBNotifySocket::ShutdownTls() {
  if (!m_pTls) return false;
  m_bSendReady = 0;
  return m_pTls->Shutdown();
}

void CQBNotifySocket::Close() {
  if (m_pTls && m_pTls->IsOpen() && IsCreated()) m_pTls->Shutdown();
  CAsyncSocket::Close();
}

void CQBNotifySocket::EndTlsOnClose() {
  if (m_pTls && m_pTls->IsHandshaking()) {
    m_pTls->OnConnectionEnded();
    EndTlsHandshake();
  }
}

void CQBNotifySocket::ReceivedFromWire(const char* data, int length) {
  if (length <= 0) return;
  if (!m_pTls) {
    m_recvData.append(data, static_cast<std::size_t>(length));
    DispatchReceived();
    return;
  }
  const bool handshaking = m_pTls->IsHandshaking();
  if (handshaking) m_recvData.clear();  // plain bytes from before the handshake are no reply
  m_pTls->OnReceived(data, static_cast<std::size_t>(length), m_recvData);
  if (handshaking && !m_pTls->IsHandshaking()) EndTlsHandshake();
  // Data that came with the end of the handshake, or before a broken record, is offered first.
  if (!m_recvData.empty() && IsCreated()) DispatchReceived();
  if (!handshaking && m_pTls->Channel().GetState() == fw::CTlsChannel::State::Failed && IsCreated()) {
    // A connection whose records no longer decrypt is over, as if the server had reset it.
    m_sendData.Clear();
    m_bSendReady = 0;
    CAsyncSocket::Close();
    OnClose(fw::kWsaEConnAborted);
  }
}

void CQBNotifySocket::EndTlsHandshake() {
  const fw::CTlsChannel& channel = m_pTls->Channel();
  if (channel.GetState() != fw::CTlsChannel::State::Failed) {
    if (m_pTls->IsOpen() && m_pTls->IsWritable()) {
      m_bSendReady = 1;
      if (GetPendingSendLength() > 0) FlushPending(0);
    }
    OnTlsHandshakeDone(fw::TlsFailure::None);
    return;
  }
  // Nothing of the application may reach a server that failed the check.
  m_sendData.Clear();
  m_recvData.clear();
  m_bSendReady = 0;
  CAsyncSocket::Close();
  OnTlsHandshakeDone(channel.GetFailure());
}
