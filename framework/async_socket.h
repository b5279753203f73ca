// A non-blocking IPv4 stream socket whose events arrive as notifications on the thread that
// created it (the thread that called Create), through that thread's message loop, with
// Winsock's asynchronous-select semantics on every platform:
// - OnConnect once, with 0 or the connection's error;
// - OnSend after the connection is made, and again after a send that failed with
//   kWsaEWouldBlock, once the socket can take data;
// - OnReceive when data is there (again after each Receive while data remains; a spurious
//   one whose Receive fails with kWsaEWouldBlock may happen);
// - OnClose once the peer has closed or reset the connection, after the data that arrived
//   before the close was offered to OnReceive.
// Sending never raises a signal, and a write is never held back to be merged with later ones
// (no Nagle delay): a caller that writes in small pieces pays for a packet each. Error codes
// are Winsock's on every platform.
//
// Threads by ownership: once created, a socket belongs to the thread that created it. Only
// that thread connects, sends, receives, closes and destroys it (debug builds assert it); a
// socket object that was never created may be destroyed anywhere. So no notification can be
// under way for a socket while another thread closes it.
#pragma once

#include <memory>
#include <string>

#include "framework/types.h"

namespace fw {

inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaEInProgress = 10036;
inline constexpr int kWsaENotSock = 10038;
inline constexpr int kWsaEInval = 10022;
inline constexpr int kWsaENoBufs = 10055;
inline constexpr int kWsaEConnAborted = 10053;
inline constexpr int kWsaEConnReset = 10054;
inline constexpr int kWsaENotConn = 10057;
inline constexpr int kWsaETimedOut = 10060;
inline constexpr int kWsaEConnRefused = 10061;
inline constexpr int kWsaEHostUnreach = 10065;
inline constexpr int kWsaENetUnreach = 10051;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

inline constexpr int kSocketError = -1;

class CAsyncSocket {
 public:
  enum Events : long {
    kFdRead = 1,
    kFdWrite = 2,
    kFdOob = 4,
    kFdAccept = 8,
    kFdConnect = 16,
    kFdClose = 32,
    kFdAll = 63
  };
  static constexpr int kSockStream = 1;
  static constexpr int kMsgPeek = 2;

  CAsyncSocket();
  CAsyncSocket(const CAsyncSocket&) = delete;
  CAsyncSocket& operator=(const CAsyncSocket&) = delete;
  virtual ~CAsyncSocket();  // closes the socket (owner thread); no notification arrives afterwards

  // Creates the system socket (IPv4, stream, bound to `port`, 0 for any) and registers it
  // with the calling thread's message loop for the events of `eventMask`.
  bool Create(UINT port = 0, int type = kSockStream, long eventMask = kFdAll);
  bool IsCreated() const;

  // Starts connecting to a dotted IPv4 address. True when connected at once; false with
  // GetLastError() == kWsaEWouldBlock while the connection is under way (OnConnect follows),
  // or false with another error.
  bool Connect(const char* address, UINT port);

  // recv/send. Return the count, 0 for a closed connection (Receive), or kSocketError with
  // GetLastError() set.
  virtual int Receive(void* buffer, int length, int flags = 0);
  virtual int Send(const void* buffer, int length, int flags = 0);
  // Closes the system socket (owner thread); no notification arrives afterwards.
  virtual void Close();

  // The local address (dotted IPv4 text) and port of the socket.
  bool GetSockName(std::string& address, UINT& port) const;

  // The calling thread's last socket error.
  static int GetLastError();

  virtual void OnReceive(int errorCode);
  virtual void OnSend(int errorCode);
  virtual void OnOutOfBandData(int errorCode);
  virtual void OnAccept(int errorCode);
  virtual void OnConnect(int errorCode);
  virtual void OnClose(int errorCode);

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace fw
