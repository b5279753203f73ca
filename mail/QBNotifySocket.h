// CQBNotifySocket: the non-blocking TCP socket under the SMTP client. It adds to the platform
// socket an asynchronous host-name lookup through the worker's hidden window, a receive
// buffer that collects bytes until the derived class takes complete lines off it, a send
// buffer that accepts data at any time and writes it when the connection can take it, and a
// few small helpers (connect, send a text, the local address). It knows no protocol.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "framework/async_socket.h"
#include "framework/host_lookup.h"
#include "framework/tls.h"
#include "framework/types.h"
#include "mail/ByteQueue.h"
#include "mail/SmtpReply.h"
#include "mail/TlsTransport.h"

class CNotifySocketWnd;

// What a socket and the hidden window need of the worker that owns the window.
class CSocketWndOwner {
 public:
  // The worker's hidden window, or null when it has none (worker thread only).
  virtual CNotifySocketWnd* GetSocketWnd() const = 0;
  // Called by the window while it is being destroyed: forget it and let it be freed.
  virtual void DeleteSocketWnd() = 0;

 protected:
  ~CSocketWndOwner() = default;
};

class CQBNotifySocket : public fw::CAsyncSocket {
 public:
  static constexpr int kHostBufferSize = 4096;
  static constexpr int kReceiveBlockSize = 20480;

  // Constructs without a system socket; pOwner may be null (no hidden window).
  explicit CQBNotifySocket(CSocketWndOwner* pOwner);
  ~CQBNotifySocket() override;

  // Starts resolving pszHost through the hidden window. False when the host is a dotted
  // address, when there is no window, or when the lookup cannot be started.
  bool StartHostLookup(const char* pszHost);
  // Connects to a dotted address. True when connected at once or under way (OnConnect
  // follows); on any other error OnConnect gets the error at once and the result is false.
  bool ConnectTo(const char* pszHost, fw::UINT nPort);

  int SendText(const char* pszText);
  int SendText(const std::string& strText);
  // The local dotted IPv4 address of the connection (cached after the first call).
  const std::string& GetLocalAddress();
  int IsSendReady() const { return m_bSendReady; }

  static bool ExtractLine(const char*& data, int& length, std::string& line) {
    return smtp::ExtractLine(data, length, line);
  }

  // Accepts every byte at any time: what the connection cannot take now waits, in order, for
  // the next OnSend. Returns `length`, or kSocketError when the connection failed (the
  // waiting bytes are then dropped).
  int Send(const void* buffer, int length, int flags = 0) override;
  void OnReceive(int errorCode) override;
  void OnSend(int errorCode) override;
  void OnConnect(int errorCode) override;

  // Starts TLS on the connection now, as its client (QBNotifySocketTls.cpp). From here on
  // Send encrypts and OnReceivedData sees decrypted bytes only; plain bytes received before
  // and not consumed are dropped, plain bytes still waiting to be written go out first. The
  // application data sent meanwhile waits for the handshake (IsSendReady is 0 until then).
  // OnTlsHandshakeDone reports the end of the handshake, possibly before this returns. False
  // when there is no socket or TLS was started already.
  bool StartTls(const fw::TlsSettings& settings);
  // The handshake succeeded and the channel is open.
  bool IsTlsOn() const { return m_pTls && m_pTls->IsOpen(); }
  // The channel (certificate, protocol, cipher, failure) once StartTls ran, else null. It stays
  // after a failure and after Close.
  const fw::CTlsChannel* GetTlsChannel() const { return m_pTls ? &m_pTls->Channel() : nullptr; }
  // Sends close_notify; nothing more is sent, the connection stays open for the peer's reply.
  // False when TLS is not on or the system cannot send close_notify (Wine 8).
  bool ShutdownTls();
  // Sends close_notify first when TLS is on, then closes.
  void Close() override;
  // To be called first by an OnClose override: a handshake still under way ends as failed
  // (OnTlsHandshakeDone). A connection whose TLS records fail after the handshake is closed by
  // this class and reported through OnClose with kWsaEConnAborted.
  void EndTlsOnClose();

  // Called by the hidden window when this socket's lookup has ended.
  virtual void OnLookupComplete(int errorCode, fw::LPARAM lParam);
  // The lookup's result; the host entry is valid when errorCode is 0.
  virtual void OnHostResolved(int errorCode, const fw::HostEnt* pHost, fw::LPARAM lParam);
  // Received bytes not consumed yet. An override takes complete lines off the front by
  // advancing `data` and reducing `length`, and returns nonzero if it took anything; one that
  // returns 0 must leave both unchanged. Called again while it takes something.
  virtual int OnReceivedData(const char*& data, int& length);

 protected:
  // Offers the buffered bytes to OnReceivedData until it takes nothing more.
  void DispatchReceived();
  // Writes waiting bytes while the connection takes them; false when a hard error dropped them.
  bool FlushPending(int flags);
  // Writes to the connection: the count written, or kSocketError with `error` set.
  virtual int Transmit(const char* data, int length, int flags, int& error);
  // Some bytes were written to the connection.
  virtual void OnSendProgress() {}
  // A write failed for good (not "would block"): the send-ready flag is clear and nothing
  // more is fed to the connection.
  virtual void OnSendError(int /*errorCode*/) {}
  // The TLS handshake has ended: with None the channel is open and IsSendReady tells whether
  // data goes out at once; with a failure nothing was sent, the connection is closed (no
  // OnClose follows; a server that closed during the handshake is reported from within
  // OnClose, through EndTlsOnClose) and GetTlsChannel tells the certificate and the reason.
  virtual void OnTlsHandshakeDone(fw::TlsFailure /*failure*/) {}

  CNotifySocketWnd* GetSocketWnd() const { return m_pOwner ? m_pOwner->GetSocketWnd() : nullptr; }
  std::size_t GetPendingSendLength() const { return m_sendData.Size(); }
  std::size_t GetReceivedLength() const { return m_recvData.size(); }

  int m_bSendReady = 0;
  std::string m_strLocalAddress;
  fw::HANDLE m_hLookup = nullptr;
  alignas(fw::HostEnt) char m_hostBuffer[kHostBufferSize] = {};
  CSocketWndOwner* const m_pOwner;

 private:
  // Bytes read from the connection: decrypted when TLS is on, then offered.
  void ReceivedFromWire(const char* data, int length);
  void EndTlsHandshake();

  std::string m_recvData;  // received, not consumed yet
  CByteQueue m_sendData;   // accepted by Send, not written yet
  std::unique_ptr<CTlsTransport> m_pTls;
};
