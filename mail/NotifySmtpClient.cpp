// The SMTP conversation of one mail job: set-up from the settings, resolving and connecting,
// the reply-driven state machine, expiry and clean-up.
#include "mail/NotifySmtpClient.h"

#include <algorithm>

#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/strings.h"
#include "resource.h"
#include "settings/NotifyConfig.h"

namespace {

// An address that is safe inside "<...>" on a command line.
bool IsSafeAddress(const std::string& address) {
  return std::none_of(address.begin(), address.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || c == '<' || c == '>';
  });
}

// Control characters would end or fold the header line: they become blanks.
std::string SanitizeHeaderText(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace

CNotifySmtpClient::CNotifySmtpClient(CSocketWndOwner* pOwner, const CNotifyConfig* pConfig, const char* pszInfoFile,
                                     const char* pszLogFile, int nLogLineCount)
    : CQBNotifySocket(pOwner) {
  std::string strSubject;
  if (pConfig != nullptr) {
    m_arrRecipients = SplitRecipients(pConfig->m_strDeliverTo);
    m_strFrom = pConfig->m_strFromEmail;
    m_strServer = pConfig->m_strSmtpServer;
    m_nPort = pConfig->m_nSmtpPort;
    m_nLogLines = pConfig->m_nLogLines;
    strSubject = pConfig->m_strSubject;
  }
  m_strLogFile = pszLogFile ? pszLogFile : "";
  m_strInfoFile = pszInfoFile ? pszInfoFile : "";
  m_nLogLineCount = nLogLineCount;

  m_dwLastActivity = fw::GetTickCount();
  m_bConfigComplete = pConfig != nullptr && pConfig->IsComplete() && !m_arrRecipients.empty() &&
                      IsSafeAddress(m_strFrom) &&
                      std::all_of(m_arrRecipients.begin(), m_arrRecipients.end(), IsSafeAddress);
  if (strSubject.empty()) strSubject = fw::LoadString(IDS_DEFAULT_SUBJECT);
  m_strSubject = SanitizeHeaderText(std::move(strSubject));
}

CNotifySmtpClient::~CNotifySmtpClient() {
  // A job that goes before it ended (the module unloads) has failed as well. Observers are
  // not told: what derives from the job is gone by now.
  m_stateObserver = nullptr;
  if (m_nState != SmtpState::Closed) Fail("dropped before it ended");
  Close();
  m_fileInfo.Abort();
  m_fileLog.Abort();
  if (!m_strInfoFile.empty()) fw::DeleteFile(m_strInfoFile);
  if (!m_strLogFile.empty()) fw::DeleteFile(m_strLogFile);
}

std::vector<std::string> CNotifySmtpClient::SplitRecipients(const std::string& value) {
  std::vector<std::string> recipients;
  std::size_t start = 0;
  while (start < value.size()) {
    std::size_t end = value.find_first_of(",; ", start);
    if (end == std::string::npos) end = value.size();
    std::string piece = fw::Trim(std::string_view(value).substr(start, end - start));
    if (!piece.empty()) recipients.push_back(std::move(piece));
    start = end + 1;
  }
  return recipients;
}

bool CNotifySmtpClient::HasTickIntervalPassed(std::uint32_t now, std::uint32_t then, std::int32_t interval) {
  const std::uint32_t difference = now - then;
  // `then` at or above `now`: the counter wrapped in between, or `then` was read after `now`
  // (negative). Otherwise the plain difference, however large.
  const std::int64_t elapsed = then >= now ? static_cast<std::int64_t>(static_cast<std::int32_t>(difference))
                                           : static_cast<std::int64_t>(difference);
  return elapsed >= interval;
}

void CNotifySmtpClient::SetState(SmtpState state) {
  const SmtpState previous = m_nState;
  if (previous == state || previous == SmtpState::Closed) return;
  m_nState = state;
  if (m_stateObserver) m_stateObserver(previous, state);
}

void CNotifySmtpClient::Fail(const char* reason, Ending ending, int errorCode) {
  if (m_failure.reason == nullptr && !m_bDelivered) {
    m_failure.reason = reason;
    m_failure.step = m_nState;
    m_failure.error = errorCode;
    m_failure.reply = std::move(m_strReply);
  }
  if (ending == Ending::Quit && m_nState != SmtpState::Closed) {
    SendText("QUIT\r\n");  // a send that fails here closes the job (OnSendError)
    SetState(SmtpState::AwaitQuitReply);
    return;
  }
  SetState(SmtpState::Closed);
  Close();
}

bool CNotifySmtpClient::Start() {
  Guarded([&] {
    if (!m_bConfigComplete) return Fail("incomplete settings");
    if (!Create(0, kSockStream, kFdAll)) return Fail("no socket", Ending::Close, GetLastError());
    if (StartHostLookup(m_strServer.c_str())) return;  // goes on in OnHostResolved
    if (fw::InetAddr(m_strServer.c_str()) == fw::kInaddrNone) {
      // A name whose asynchronous lookup could not be started fails; without a hidden
      // window it is resolved here, blocking.
      if (GetSocketWnd() != nullptr) return Fail("the name lookup cannot start");
      ConnectToHost(fw::GetHostByName(m_strServer.c_str()));
      return;
    }
    if (ConnectTo(m_strServer.c_str(), static_cast<fw::UINT>(m_nPort))) SetState(SmtpState::AwaitGreeting);
  });
  return m_nState != SmtpState::Closed;
}

bool CNotifySmtpClient::ConnectToHost(const fw::HostEnt* pHost) {
  if (pHost == nullptr || pHost->h_addrtype != fw::kAfInet || pHost->h_length != 4 || pHost->h_addr_list == nullptr ||
      pHost->h_addr_list[0] == nullptr) {
    Fail("the name has no IPv4 address");
    return false;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(pHost->h_addr_list[0]);
  if (bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF && bytes[3] == 0xFF) {
    Fail("the name resolves to 255.255.255.255");
    return false;
  }
  const std::string address =
      fw::Format("%u.%u.%u.%u", unsigned{bytes[0]}, unsigned{bytes[1]}, unsigned{bytes[2]}, unsigned{bytes[3]});
  if (!ConnectTo(address.c_str(), static_cast<fw::UINT>(m_nPort))) return false;  // OnConnect failed the job
  SetState(SmtpState::AwaitGreeting);
  return true;
}

void CNotifySmtpClient::OnHostResolved(int errorCode, const fw::HostEnt* pHost, fw::LPARAM /*lParam*/) {
  Guarded([&] {
    const int error = fw::LoWord(static_cast<std::uint32_t>(errorCode));
    if (error != 0) return Fail("the name lookup failed", Ending::Close, error);
    if (ConnectToHost(pHost)) m_dwLastActivity = fw::GetTickCount();
  });
}

void CNotifySmtpClient::OnConnect(int errorCode) {
  Guarded([&] {
    CQBNotifySocket::OnConnect(errorCode);
    if (errorCode != 0) Fail("cannot connect", Ending::Close, errorCode);
  });
}

void CNotifySmtpClient::OnClose(int errorCode) {
  Guarded([&] {
    CAsyncSocket::OnClose(errorCode);
    Fail("the server closed the connection", Ending::Close, errorCode);
  });
}

void CNotifySmtpClient::OnSend(int errorCode) {
  Guarded([&] {
    CQBNotifySocket::OnSend(errorCode);
    PumpBody();
  });
}

void CNotifySmtpClient::OnSendProgress() {
  m_dwLastActivity = fw::GetTickCount();
}

void CNotifySmtpClient::OnSendError(int errorCode) {
  Fail("sending failed", Ending::Close, errorCode);
}

bool CNotifySmtpClient::IsExpired() {
  if (m_nState == SmtpState::Closed) return true;
  if (!HasTickIntervalPassed(fw::GetTickCount(), m_dwLastActivity, kIdleTimeoutMs)) return false;
  Fail("no reply in time");
  return true;
}

int CNotifySmtpClient::OnReceivedData(const char*& data, int& length) {
  int consumed = 0;
  Guarded([&] {
    m_dwLastActivity = fw::GetTickCount();
    const smtp::ReplyRead read = smtp::ReadReply(data, length, m_strReply);
    consumed = read.consumedLine ? 1 : 0;
    if (read.complete) {
      if (StepHandler handler = HandlerFor(m_nState)) (this->*handler)();
    }
    if (static_cast<std::size_t>(length) > kMaxUnterminatedReply &&
        std::find(data, data + length, '\n') == data + length) {
      // A peer that sends this much without a line end is not an SMTP server.
      Fail("a reply line without end");
      data += length;
      length = 0;
      consumed = 1;
    }
  });
  return consumed;
}

CNotifySmtpClient::StepHandler CNotifySmtpClient::HandlerFor(SmtpState state) {
  switch (state) {
    case SmtpState::AwaitGreeting:
      return &CNotifySmtpClient::OnGreeting;
    case SmtpState::AwaitHeloReply:
      return &CNotifySmtpClient::OnHeloReply;
    case SmtpState::AwaitMailReply:
      return &CNotifySmtpClient::SendNextRecipient;
    case SmtpState::AwaitRcptReply:
      return &CNotifySmtpClient::OnRcptReply;
    case SmtpState::AwaitDataReply:
      return &CNotifySmtpClient::OnDataReply;
    case SmtpState::AwaitDataEndReply:
      return &CNotifySmtpClient::OnDataEndReply;
    case SmtpState::AwaitQuitReply:
      return &CNotifySmtpClient::OnQuitReply;
    case SmtpState::Idle:
    case SmtpState::Closed:
      break;
  }
  return nullptr;  // no reply is expected
}

int CNotifySmtpClient::ReplyCode() const {
  return smtp::ReplyCode(m_strReply);
}

void CNotifySmtpClient::OnGreeting() {
  if (!smtp::IsPositiveReply(ReplyCode())) return Fail("greeting refused", Ending::Quit);
  std::string address = GetLocalAddress();
  fw::MakeLower(address);
  SendText("HELO [" + address + "]\r\n");
  SetState(SmtpState::AwaitHeloReply);
}

void CNotifySmtpClient::OnHeloReply() {
  if (!smtp::IsPositiveReply(ReplyCode())) return Fail("HELO refused", Ending::Quit);
  SendText("MAIL FROM: <" + m_strFrom + ">\r\n");
  SetState(SmtpState::AwaitMailReply);
}

void CNotifySmtpClient::SendNextRecipient() {
  if (!smtp::IsPositiveReply(ReplyCode())) {
    return Fail(m_nState == SmtpState::AwaitMailReply ? "sender refused" : "recipient refused", Ending::Quit);
  }
  if (m_nNextRecipient >= m_arrRecipients.size()) return Fail("no recipient", Ending::Quit);
  SendText("RCPT TO: <" + m_arrRecipients[m_nNextRecipient] + ">\r\n");
  ++m_nNextRecipient;
  SetState(SmtpState::AwaitRcptReply);
}

void CNotifySmtpClient::OnRcptReply() {
  if (m_nNextRecipient < m_arrRecipients.size()) return SendNextRecipient();
  if (!smtp::IsPositiveReply(ReplyCode())) return Fail("recipient refused", Ending::Quit);
  SendText("DATA\r\n");
  SetState(SmtpState::AwaitDataReply);
}

void CNotifySmtpClient::OnDataReply() {
  // A second reply while the message is under way: the server is not following.
  if (m_bMessageStarted) return Fail("a reply while the message was sent");
  const int code = ReplyCode();
  if (code < 300 || code > 399) return Fail("DATA refused", Ending::Quit);
  SendMessageStart();
}

void CNotifySmtpClient::OnDataEndReply() {
  const int code = ReplyCode();
  if (code < 200 || code > 299) return Fail("message refused", Ending::Quit);
  m_bDelivered = true;
  SendText("QUIT\r\n");
  SetState(SmtpState::AwaitQuitReply);
}

void CNotifySmtpClient::OnQuitReply() {
  if (!smtp::IsPositiveReply(ReplyCode())) return;
  SetState(SmtpState::Closed);
  Close();
}
