// The asynchronous socket under the SMTP client: lookup, connect, buffered send and receive.
#include "mail/QBNotifySocket.h"

#include <algorithm>
#include <climits>

#include "mail/NotifySocketWnd.h"

namespace {

// Reads per receive notification; the platform notifies again while data remains, so a
// flooding peer cannot keep the worker's loop from its other messages.
constexpr int kMaxReadsPerNotification = 4;
// Largest single write handed to the platform.
constexpr std::size_t kMaxTransmit = 1 << 20;

}  // namespace

CQBNotifySocket::CQBNotifySocket(CSocketWndOwner* pOwner) : m_pOwner(pOwner) {}

CQBNotifySocket::~CQBNotifySocket() {
  if (m_hLookup != nullptr) {
    fw::CancelAsyncRequest(m_hLookup);
    if (CNotifySocketWnd* pWnd = GetSocketWnd()) pWnd->RemoveLookup(m_hLookup);
    m_hLookup = nullptr;
  }
}

bool CQBNotifySocket::StartHostLookup(const char* pszHost) {
  if (pszHost == nullptr || fw::InetAddr(pszHost) != fw::kInaddrNone) return false;
  CNotifySocketWnd* pWnd = GetSocketWnd();
  if (pWnd == nullptr) return false;
  fw::HANDLE hLookup =
      fw::AsyncGetHostByName(pWnd->GetSafeHwnd(), WM_HOSTLOOKUP_DONE, pszHost, m_hostBuffer, kHostBufferSize);
  if (hLookup == nullptr) return false;
  m_hLookup = hLookup;
  pWnd->AddLookup(hLookup, this);
  return true;
}

bool CQBNotifySocket::ConnectTo(const char* pszHost, fw::UINT nPort) {
  if (Connect(pszHost, nPort)) {
    OnConnect(0);
    return true;
  }
  const int error = GetLastError();
  if (error == fw::kWsaEWouldBlock) return true;
  OnConnect(error != 0 ? error : fw::kWsaEInval);
  return false;
}

int CQBNotifySocket::SendText(const char* pszText) {
  if (pszText == nullptr) return 0;
  return Send(pszText, static_cast<int>(std::char_traits<char>::length(pszText)), 0);
}

int CQBNotifySocket::SendText(const std::string& strText) {
  if (strText.size() > static_cast<std::size_t>(INT_MAX)) return fw::kSocketError;
  return Send(strText.data(), static_cast<int>(strText.size()), 0);
}

const std::string& CQBNotifySocket::GetLocalAddress() {
  if (m_strLocalAddress.empty()) {
    std::string address;
    fw::UINT port = 0;
    if (GetSockName(address, port)) m_strLocalAddress = address;
  }
  return m_strLocalAddress;
}

int CQBNotifySocket::Send(const void* buffer, int length, int flags) {
  if (length < 0 || (length > 0 && buffer == nullptr)) return fw::kSocketError;
  m_sendData.Append(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
  if (!m_bSendReady) return length;
  if (m_sendData.IsEmpty()) return 0;
  return FlushPending(flags) ? length : fw::kSocketError;
}

bool CQBNotifySocket::FlushPending(int flags) {
  while (m_bSendReady && !m_sendData.IsEmpty()) {
    const int chunk = static_cast<int>(std::min(m_sendData.Size(), kMaxTransmit));
    int error = 0;
    const int sent = Transmit(m_sendData.Data(), chunk, flags, error);
    if (sent > 0) {
      m_sendData.Consume(static_cast<std::size_t>(std::min(sent, chunk)));
      OnSendProgress();
      continue;
    }
    m_bSendReady = 0;
    // Would block: the rest goes out on the next OnSend.
    if (error == fw::kWsaEWouldBlock) return true;
    // Reset: no OnSend will come; the bytes stay until the socket is destroyed. Any other
    // error drops everything that waited.
    const bool bKept = error == fw::kWsaEConnReset;
    if (!bKept) m_sendData.Clear();
    OnSendError(error);
    return bKept;
  }
  return true;
}

int CQBNotifySocket::Transmit(const char* data, int length, int flags, int& error) {
  if (m_pTls) return m_pTls->Transmit(data, length, error);
  const int sent = CAsyncSocket::Send(data, length, flags);
  if (sent <= 0) error = GetLastError();
  return sent;
}

void CQBNotifySocket::OnSend(int /*errorCode*/) {
  if (m_pTls && !m_pTls->OnWritable()) return;  // handshake or records still under way
  m_bSendReady = 1;
  if (!m_sendData.IsEmpty()) FlushPending(0);
}

void CQBNotifySocket::OnConnect(int /*errorCode*/) {}

void CQBNotifySocket::OnReceive(int errorCode) {
  if (errorCode != 0) return;
  // A scratch block on the stack: the buffer then holds only the bytes received, not a whole
  // block for every connection.
  char block[kReceiveBlockSize];
  for (int pass = 0; pass < kMaxReadsPerNotification; ++pass) {
    const int received = Receive(block, kReceiveBlockSize, 0);
    if (received <= 0) break;
    ReceivedFromWire(block, std::min(received, kReceiveBlockSize));
  }
}

void CQBNotifySocket::DispatchReceived() {
  // Offers the unconsumed bytes until the client takes nothing more, then drops what it took
  // in one step (many short lines in one read cost no more than one erase).
  const CTlsTransport* const tls = m_pTls.get();
  std::size_t offset = 0;
  while (offset < m_recvData.size()) {
    const std::size_t available = std::min(m_recvData.size() - offset, static_cast<std::size_t>(INT_MAX));
    const char* start = m_recvData.data() + offset;
    const char* data = start;
    int length = static_cast<int>(available);
    const int taken = OnReceivedData(data, length);
    if (m_pTls.get() != tls) {
      m_recvData.clear();  // TLS began: nothing received in plain counts any more
      return;
    }
    if (!taken) break;
    // Trust only a consistent answer: the pointer advanced by exactly what the length lost.
    const std::size_t remaining = static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(available)));
    const std::size_t consumed = available - remaining;
    if (consumed == 0 || data != start + consumed) break;
    offset += consumed;
  }
  m_recvData.erase(0, offset);
}

void CQBNotifySocket::OnLookupComplete(int errorCode, fw::LPARAM lParam) {
  OnHostResolved(errorCode, reinterpret_cast<const fw::HostEnt*>(m_hostBuffer), lParam);
  if (m_hLookup != nullptr) {
    if (CNotifySocketWnd* pWnd = GetSocketWnd()) pWnd->RemoveLookup(m_hLookup);
    m_hLookup = nullptr;
  }
}

void CQBNotifySocket::OnHostResolved(int /*errorCode*/, const fw::HostEnt* /*pHost*/, fw::LPARAM /*lParam*/) {}

int CQBNotifySocket::OnReceivedData(const char*& /*data*/, int& /*length*/) {
  return 0;
}
