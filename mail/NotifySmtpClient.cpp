// The SMTP conversation of one mail job: set-up from the settings, resolving and connecting,
// TLS, the reply-driven state machine with the login, the one failure path, expiry and
// clean-up.
#include "mail/NotifySmtpClient.h"

#include <algorithm>
#include <atomic>

#include "framework/clock.h"
#include "framework/failure_record.h"
#include "framework/filesystem.h"
#include "framework/strings.h"
#include "mail/SmtpDiagnosis.h"
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

// Overwrites a secret before its memory is given back.
void Wipe(std::string& secret) {
  volatile char* bytes = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = '\0';
  secret.clear();
}

std::uint32_t NextJobId() {
  static std::atomic<std::uint32_t> s_next{0};
  return ++s_next;
}

}  // namespace

const char* SmtpFailureText(SmtpFailureReason reason) {
  switch (reason) {
#define QB_SMTP_FAILURE_TEXT(name, text, id) \
  case SmtpFailureReason::name:              \
    return text;
    QB_SMTP_FAILURES(QB_SMTP_FAILURE_TEXT)
#undef QB_SMTP_FAILURE_TEXT
  }
  return "?";
}

unsigned SmtpFailureTextId(SmtpFailureReason reason) {
  switch (reason) {
#define QB_SMTP_FAILURE_ID(name, text, id) \
  case SmtpFailureReason::name:            \
    return id;
    QB_SMTP_FAILURES(QB_SMTP_FAILURE_ID)
#undef QB_SMTP_FAILURE_ID
  }
  return 0;
}

CNotifySmtpClient::CNotifySmtpClient(CSocketWndOwner* pOwner, const CNotifyConfig* pConfig, const char* pszInfoFile,
                                     const char* pszLogFile, int nLogLineCount)
    : CQBNotifySocket(pOwner), m_nJobId(NextJobId()) {
  std::string strSubject;
  if (pConfig != nullptr) {
    m_arrRecipients = SplitRecipients(pConfig->m_strDeliverTo);
    m_strFrom = pConfig->m_strFromEmail;
    m_strServer = pConfig->m_strSmtpServer;
    m_nPort = pConfig->m_nSmtpPort;
    m_nLogLines = pConfig->m_nLogLines;
    strSubject = pConfig->m_strSubject;
    m_strProfile = pConfig->m_strProfile;
    m_nSecurity = pConfig->m_nSmtpSecurity;
    m_strUser = pConfig->m_strSmtpUser;
    m_strPassword = pConfig->m_strSmtpPassword;
    m_strCertificatePin = pConfig->m_strSmtpCertificate;
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
  // A job that goes before it ended (the module unloads) has failed as well; it leaves no
  // record (this may run inside the module's unload). Observers are not told: what derives
  // from the job is gone by now.
  m_stateObserver = nullptr;
  m_pDiagnosis = nullptr;
  if (m_nState != SmtpState::Closed) Fail(SmtpFailureReason::Dropped);
  Close();
  m_fileInfo.Abort();
  m_fileLog.Abort();
  if (!m_strInfoFile.empty()) fw::DeleteFile(m_strInfoFile);
  if (!m_strLogFile.empty()) fw::DeleteFile(m_strLogFile);
  Wipe(m_strPassword);
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
  if (state == SmtpState::Closed) OnJobEnded();
}

void CNotifySmtpClient::SetInlineBody(std::string text) {
  m_bInlineBody = true;
  m_strInlineBody = std::move(text);
  m_nLogLines = 0;
}

std::string CNotifySmtpClient::Redacted(std::string text) const {
  return m_pAuth ? m_pAuth->Redact(std::move(text)) : text;
}

void CNotifySmtpClient::Fail(SmtpFailureReason reason, Ending ending, int errorCode) {
  if (!m_failure.HasFailed() && !m_bDelivered) {
    m_failure.reason = reason;
    m_failure.step = m_nState;
    m_failure.error = errorCode;
    if (m_bHandlingReply) m_failure.reply = Redacted(m_strReply);  // only a reply that made the step fail
    const fw::CTlsChannel* channel = GetTlsChannel();
    if (reason == SmtpFailureReason::TlsFailed && channel != nullptr) {
      m_failure.tls = channel->GetFailure();
      m_failure.tlsDetail = channel->GetFailureDetail();
      m_failure.certificate = channel->GetCertificate();
    }
    if (m_pDiagnosis) m_pDiagnosis->Failed(m_failure);
    if (m_bRecordsFailures && reason != SmtpFailureReason::Dropped) {
      fw::RecordDeliveryFailure(FormatFailureRecord(m_strProfile, m_strServer, m_nPort, m_failure));
    }
  }
  if (ending == Ending::Quit && m_nState != SmtpState::Closed) {
    SendText("QUIT\r\n");  // a send that fails here closes the job (OnSendError)
    SetState(SmtpState::AwaitQuitReply);
    return;
  }
  SetState(SmtpState::Closed);
  Close();
}

void CNotifySmtpClient::Cancel() {
  Guarded([&] { Fail(SmtpFailureReason::Cancelled); });
}

bool CNotifySmtpClient::Start() {
  Guarded([&] {
    if (m_nState == SmtpState::Closed) return;  // cancelled before it started
    if (!m_bConfigComplete) return Fail(SmtpFailureReason::IncompleteSettings);
    if (!Create(0, kSockStream, kFdAll)) return Fail(SmtpFailureReason::NoSocket, Ending::Close, GetLastError());
    if (StartHostLookup(m_strServer.c_str())) return SetState(SmtpState::AwaitLookup);  // goes on in OnHostResolved
    if (fw::InetAddr(m_strServer.c_str()) == fw::kInaddrNone) {
      // A name whose asynchronous lookup could not be started fails; without a hidden
      // window it is resolved here, blocking.
      if (GetSocketWnd() != nullptr) return Fail(SmtpFailureReason::LookupNotStarted);
      SetState(SmtpState::AwaitLookup);
      ConnectToHost(fw::GetHostByName(m_strServer.c_str()));
      return;
    }
    if (m_pDiagnosis) m_pDiagnosis->AddressGiven(m_strServer);
    ConnectToAddress(m_strServer);
  });
  return m_nState != SmtpState::Closed;
}

bool CNotifySmtpClient::ConnectToHost(const fw::HostEnt* pHost) {
  if (pHost == nullptr) {
    Fail(SmtpFailureReason::LookupFailed);
    return false;
  }
  if (pHost->h_addrtype != fw::kAfInet || pHost->h_length != 4 || pHost->h_addr_list == nullptr ||
      pHost->h_addr_list[0] == nullptr) {
    Fail(SmtpFailureReason::NoIpv4Address);
    return false;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(pHost->h_addr_list[0]);
  if (bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF && bytes[3] == 0xFF) {
    Fail(SmtpFailureReason::BroadcastAddress);
    return false;
  }
  const std::string address =
      fw::Format("%u.%u.%u.%u", unsigned{bytes[0]}, unsigned{bytes[1]}, unsigned{bytes[2]}, unsigned{bytes[3]});
  if (m_pDiagnosis) m_pDiagnosis->Resolved(m_strServer, address);
  return ConnectToAddress(address);
}

bool CNotifySmtpClient::ConnectToAddress(const std::string& address) {
  m_strAddress = address;
  SetState(SmtpState::AwaitConnect);
  // OnConnect follows, possibly at once; a failure there has closed the job.
  ConnectTo(address.c_str(), static_cast<fw::UINT>(m_nPort));
  return m_nState != SmtpState::Closed;
}

fw::TlsSettings CNotifySmtpClient::TlsSettings() const {
  return fw::TlsSettings{m_strServer, m_strCertificatePin};
}

void CNotifySmtpClient::OnHostResolved(int errorCode, const fw::HostEnt* pHost, fw::LPARAM /*lParam*/) {
  Guarded([&] {
    const int error = fw::LoWord(static_cast<std::uint32_t>(errorCode));
    if (error != 0) return Fail(SmtpFailureReason::LookupFailed, Ending::Close, error);
    if (ConnectToHost(pHost)) m_dwLastActivity = fw::GetTickCount();
  });
}

void CNotifySmtpClient::OnConnect(int errorCode) {
  Guarded([&] {
    CQBNotifySocket::OnConnect(errorCode);
    if (errorCode != 0) return Fail(SmtpFailureReason::ConnectFailed, Ending::Close, errorCode);
    if (m_nState != SmtpState::AwaitConnect) return;
    if (m_pDiagnosis) m_pDiagnosis->Connected(m_strAddress, m_nPort);
    if (m_nSecurity != CNotifyConfig::kSecurityTls) return SetState(SmtpState::AwaitGreeting);
    // TLS from the first byte: the greeting comes inside it.
    SetState(SmtpState::AwaitTlsHandshake);
    if (!StartTls(TlsSettings())) Fail(SmtpFailureReason::TlsFailed);
  });
}

void CNotifySmtpClient::OnTlsHandshakeDone(fw::TlsFailure failure) {
  Guarded([&] {
    if (failure != fw::TlsFailure::None) return Fail(SmtpFailureReason::TlsFailed);  // nothing more was sent
    if (m_pDiagnosis) m_pDiagnosis->TlsEstablished(*GetTlsChannel());
    if (m_nSecurity == CNotifyConfig::kSecurityTls) return SetState(SmtpState::AwaitGreeting);
    SendEhlo();  // after STARTTLS: what the server offered in plain counts no more
  });
}

void CNotifySmtpClient::OnClose(int errorCode) {
  Guarded([&] {
    EndTlsOnClose();  // a handshake under way has failed
    CAsyncSocket::OnClose(errorCode);
    Fail(SmtpFailureReason::ServerClosed, Ending::Close, errorCode);
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
  Fail(SmtpFailureReason::SendFailed, Ending::Close, errorCode);
}

bool CNotifySmtpClient::IsExpired() {
  if (m_nState == SmtpState::Closed) return true;
  if (!HasTickIntervalPassed(fw::GetTickCount(), m_dwLastActivity, kIdleTimeoutMs)) return false;
  Fail(SmtpFailureReason::Timeout);
  return true;
}

int CNotifySmtpClient::OnReceivedData(const char*& data, int& length) {
  int consumed = 0;
  Guarded([&] {
    m_dwLastActivity = fw::GetTickCount();
    const smtp::ReplyRead read = smtp::ReadReply(data, length, m_strReply, &m_replyLines);
    consumed = read.consumedLine ? 1 : 0;
    if (read.complete) {
      if (StepHandler handler = HandlerFor(m_nState)) {
        struct Handling {
          bool& flag;
          ~Handling() { flag = false; }
        } handling{m_bHandlingReply = true};
        (this->*handler)();
      }
      m_replyLines.clear();
    }
    if (static_cast<std::size_t>(length) > kMaxUnterminatedReply &&
        std::find(data, data + length, '\n') == data + length) {
      // A peer that sends this much without a line end is not an SMTP server.
      Fail(SmtpFailureReason::ReplyWithoutEnd);
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
    case SmtpState::AwaitEhloReply:
      return &CNotifySmtpClient::OnEhloReply;
    case SmtpState::AwaitStartTlsReply:
      return &CNotifySmtpClient::OnStartTlsReply;
    case SmtpState::AwaitAuthReply:
      return &CNotifySmtpClient::OnAuthReply;
    case SmtpState::AwaitMailReply:
      return &CNotifySmtpClient::OnMailReply;
    case SmtpState::AwaitRcptReply:
      return &CNotifySmtpClient::OnRcptReply;
    case SmtpState::AwaitDataReply:
      return &CNotifySmtpClient::OnDataReply;
    case SmtpState::AwaitDataEndReply:
      return &CNotifySmtpClient::OnDataEndReply;
    case SmtpState::AwaitQuitReply:
      return &CNotifySmtpClient::OnQuitReply;
    case SmtpState::Idle:
    case SmtpState::AwaitLookup:
    case SmtpState::AwaitConnect:
    case SmtpState::AwaitTlsHandshake:
    case SmtpState::Closed:
      break;
  }
  return nullptr;  // no reply is expected
}

int CNotifySmtpClient::ReplyCode() const {
  return smtp::ReplyCode(m_strReply);
}

void CNotifySmtpClient::SendEhlo() {
  std::string address = GetLocalAddress();
  fw::MakeLower(address);
  SendText("EHLO [" + address + "]\r\n");
  SetState(SmtpState::AwaitEhloReply);
}

void CNotifySmtpClient::SendLogin() {
  if (!IsTlsOn()) return Fail(SmtpFailureReason::NotEncrypted, Ending::Quit);  // credentials only inside TLS
  const smtp::AuthMechanism mechanism = smtp::ChooseAuthMechanism(m_capabilities);
  if (mechanism == smtp::AuthMechanism::None) return Fail(SmtpFailureReason::NoAuthMechanism, Ending::Quit);
  m_pAuth = std::make_unique<smtp::CAuthExchange>(mechanism, m_strUser, m_strPassword);
  SendText(m_pAuth->Begin());
  SetState(SmtpState::AwaitAuthReply);
}

void CNotifySmtpClient::SendMailFrom() {
  // With TLS asked for, nothing of the mail goes out in plain, whatever the server did.
  if (m_nSecurity != CNotifyConfig::kSecurityNone && !IsTlsOn()) {
    return Fail(SmtpFailureReason::NotEncrypted, Ending::Quit);
  }
  SendText("MAIL FROM: <" + m_strFrom + ">\r\n");
  SetState(SmtpState::AwaitMailReply);
}

void CNotifySmtpClient::SendNextRecipient() {
  if (m_nNextRecipient >= m_arrRecipients.size()) return Fail(SmtpFailureReason::NoRecipient, Ending::Quit);
  SendText("RCPT TO: <" + m_arrRecipients[m_nNextRecipient] + ">\r\n");
  ++m_nNextRecipient;
  SetState(SmtpState::AwaitRcptReply);
}

void CNotifySmtpClient::OnGreeting() {
  if (m_pDiagnosis) m_pDiagnosis->Reply(m_nState, Redacted(m_strReply));
  if (!smtp::IsPositiveReply(ReplyCode())) return Fail(SmtpFailureReason::GreetingRefused, Ending::Quit);
  if (m_nSecurity != CNotifyConfig::kSecurityNone) return SendEhlo();
  // Plain SMTP without a login: the conversation of old, byte for byte.
  std::string address = GetLocalAddress();
  fw::MakeLower(address);
  SendText("HELO [" + address + "]\r\n");
  SetState(SmtpState::AwaitHeloReply);
}

void CNotifySmtpClient::OnHeloReply() {
  if (m_pDiagnosis) m_pDiagnosis->Reply(m_nState, Redacted(m_strReply));
  if (!smtp::IsPositiveReply(ReplyCode())) return Fail(SmtpFailureReason::HeloRefused, Ending::Quit);
  SendMailFrom();
}

void CNotifySmtpClient::OnEhloReply() {
  if (!smtp::IsPositiveReply(ReplyCode())) {
    if (m_pDiagnosis) m_pDiagnosis->Reply(m_nState, Redacted(m_strReply));
    return Fail(SmtpFailureReason::EhloRefused, Ending::Quit);
  }
  // A new EHLO (after STARTTLS) replaces what the server offered before.
  m_capabilities = smtp::ParseEhloReply(m_replyLines);
  if (m_pDiagnosis)
    m_pDiagnosis->Offered(Redacted(m_replyLines.empty() ? m_strReply : m_replyLines.front()), m_capabilities);
  if (!IsTlsOn()) {
    // Only STARTTLS gets here without TLS, and nothing but STARTTLS may follow in plain: a
    // server (or someone in between) that does not offer it gets no mail and no credentials.
    if (m_nSecurity != CNotifyConfig::kSecurityStartTls) return Fail(SmtpFailureReason::NotEncrypted, Ending::Quit);
    if (!m_capabilities.bStartTls) return Fail(SmtpFailureReason::StartTlsNotOffered, Ending::Quit);
    SendText("STARTTLS\r\n");
    return SetState(SmtpState::AwaitStartTlsReply);
  }
  if (!m_strUser.empty()) return SendLogin();
  SendMailFrom();
}

void CNotifySmtpClient::OnStartTlsReply() {
  if (m_pDiagnosis) m_pDiagnosis->Reply(m_nState, Redacted(m_strReply));
  const int code = ReplyCode();
  if (code < 200 || code > 299) return Fail(SmtpFailureReason::StartTlsRefused, Ending::Quit);
  // Plain bytes after this reply are dropped: none can pass for a reply inside TLS.
  SetState(SmtpState::AwaitTlsHandshake);
  if (!StartTls(TlsSettings())) Fail(SmtpFailureReason::TlsFailed);
}

void CNotifySmtpClient::OnAuthReply() {
  std::string line;
  switch (m_pAuth->OnReply(ReplyCode(), line)) {
    case smtp::CAuthExchange::Outcome::Continue:
      SendText(line);
      return;
    case smtp::CAuthExchange::Outcome::Accepted:
      if (m_pDiagnosis) m_pDiagnosis->Login(m_strUser, m_pAuth->Mechanism(), true, Redacted(m_strReply));
      return SendMailFrom();
    case smtp::CAuthExchange::Outcome::Refused:
      if (m_pDiagnosis) m_pDiagnosis->Login(m_strUser, m_pAuth->Mechanism(), false, Redacted(m_strReply));
      return Fail(SmtpFailureReason::AuthRefused, Ending::Quit);
  }
}

void CNotifySmtpClient::OnMailReply() {
  if (m_pDiagnosis) m_pDiagnosis->Sender(m_strFrom, Redacted(m_strReply));
  if (!smtp::IsPositiveReply(ReplyCode())) return Fail(SmtpFailureReason::SenderRefused, Ending::Quit);
  SendNextRecipient();
}

void CNotifySmtpClient::OnRcptReply() {
  if (m_pDiagnosis) m_pDiagnosis->Recipient(m_arrRecipients[m_nNextRecipient - 1], Redacted(m_strReply));
  if (!smtp::IsPositiveReply(ReplyCode())) return Fail(SmtpFailureReason::RecipientRefused, Ending::Quit);
  if (m_nNextRecipient < m_arrRecipients.size()) return SendNextRecipient();
  SendText("DATA\r\n");
  SetState(SmtpState::AwaitDataReply);
}

void CNotifySmtpClient::OnDataReply() {
  // A second reply while the message is under way: the server is not following.
  if (m_bMessageStarted) return Fail(SmtpFailureReason::UnexpectedReply);
  if (m_pDiagnosis) m_pDiagnosis->Reply(m_nState, Redacted(m_strReply));
  const int code = ReplyCode();
  if (code < 300 || code > 399) return Fail(SmtpFailureReason::DataRefused, Ending::Quit);
  SendMessageStart();
}

void CNotifySmtpClient::OnDataEndReply() {
  if (m_pDiagnosis) m_pDiagnosis->Reply(m_nState, Redacted(m_strReply));
  const int code = ReplyCode();
  if (code < 200 || code > 299) return Fail(SmtpFailureReason::MessageRefused, Ending::Quit);
  m_bDelivered = true;
  if (m_pDiagnosis) m_pDiagnosis->Delivered();
  SendText("QUIT\r\n");
  SetState(SmtpState::AwaitQuitReply);
}

void CNotifySmtpClient::OnQuitReply() {
  if (!smtp::IsPositiveReply(ReplyCode())) return;
  SetState(SmtpState::Closed);
  Close();
}
