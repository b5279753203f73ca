// CNotifySmtpClient: one mail job. It copies the settings it needs, resolves and connects to
// the SMTP server and walks it through one strictly sequential conversation: greeting, HELO
// (plain SMTP) or EHLO with STARTTLS (or TLS from the first byte) and a login, MAIL FROM, one
// RCPT TO per recipient, DATA, the message, QUIT. The conversation is a state machine with one
// handler per state (NotifySmtpClient.cpp); the message itself is composed and pumped out by
// NotifySmtpMessage.cpp. The job owns the session's two journal files and deletes them when
// it is destroyed, delivered or not. A job that fails leaves a failure record.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "framework/stdio_file.h"
#include "mail/BodyFilter.h"
#include "mail/LogLineReader.h"
#include "mail/QBNotifySocket.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpCapabilities.h"
#include "mail/SmtpFailure.h"
#include "mail/SmtpState.h"

class CNotifyConfig;
class CSmtpDiagnosis;

class CNotifySmtpClient : public CQBNotifySocket {
 public:
  // Without received bytes (or progress while sending) for this long, the job has expired.
  static constexpr std::int32_t kIdleTimeoutMs = 120001;
  // Size of one piece of a journal file read for the body. Each piece costs a read and a
  // send; pieces much smaller than this make those calls, not the bytes, the cost of a large
  // body. The buffer lives only while the Information part is sent.
  static constexpr std::size_t kBodyPieceSize = 65536;
  // More received bytes than this without a complete line close the connection.
  static constexpr std::size_t kMaxUnterminatedReply = 64 * 1024;

  // Host thread: copies what the job needs; from now on the job owns both journal files.
  // Touches no socket. pConfig may be null (the job is then incomplete).
  CNotifySmtpClient(CSocketWndOwner* pOwner, const CNotifyConfig* pConfig, const char* pszInfoFile,
                    const char* pszLogFile, int nLogLineCount);
  // Closes the connection and deletes both journal files.
  ~CNotifySmtpClient() override;

  // Worker thread, once: creates the socket and starts the lookup or the connection. False
  // when the job failed at once (it is then Closed).
  bool Start();
  // Closed, or no activity for kIdleTimeoutMs by the tick count (which fails the job).
  bool IsExpired();
  // The server accepted the message.
  bool IsFinished() const { return m_bDelivered; }
  SmtpState GetState() const { return m_nState; }
  // The first failure; a delivered job has none.
  const SmtpFailure& GetFailure() const { return m_failure; }
  // What the server offered in its last reply to EHLO.
  const smtp::Capabilities& GetCapabilities() const { return m_capabilities; }
  // A number of the job's own, unique in the process (for cancelling it through the worker).
  std::uint32_t GetJobId() const { return m_nJobId; }
  // Worker thread: ends the job at once (the connection is closed); a job not started yet
  // will not start.
  void Cancel();
  // Worker thread: tells `pDiagnosis` of every step from now on (null stops that). The
  // diagnosis must outlive the job or be detached first.
  void SetDiagnosis(CSmtpDiagnosis* pDiagnosis) { m_pDiagnosis = pDiagnosis; }

  // Told of every change of state (worker thread).
  using StateObserver = std::function<void(SmtpState from, SmtpState to)>;
  void SetStateObserver(StateObserver observer) { m_stateObserver = std::move(observer); }

  // The addresses of a "Deliver to Email" value: pieces between ",", ";" and " ", trimmed,
  // empty pieces dropped, in order.
  static std::vector<std::string> SplitRecipients(const std::string& value);
  // Whether `interval` ms have passed from tick `then` to tick `now` (32-bit, wrapping).
  static bool HasTickIntervalPassed(std::uint32_t now, std::uint32_t then, std::int32_t interval);
  // The number of the next Message-ID: the tick count when it comes after the number used last
  // in this process, else one above that number (32-bit, wrapping). Any thread.
  static std::uint32_t NextMessageNumber(std::uint32_t tick);
  // The Date header line, CR LF included, for calendar time t in the local zone; empty when t
  // cannot be converted.
  static std::string FormatDateLine(std::int64_t t);

  void OnSend(int errorCode) override;
  void OnConnect(int errorCode) override;
  void OnClose(int errorCode) override;
  void OnHostResolved(int errorCode, const fw::HostEnt* pHost, fw::LPARAM lParam) override;
  int OnReceivedData(const char*& data, int& length) override;

 protected:
  void OnTlsHandshakeDone(fw::TlsFailure failure) override;
  // The job has entered Closed (not called from the destructor).
  virtual void OnJobEnded() {}
  // Sends `text` as the message's body instead of the journal files (no Log part).
  void SetInlineBody(std::string text);
  // Whether a failure leaves a failure record (a test message leaves none).
  void SetRecordsFailures(bool bRecords) { m_bRecordsFailures = bRecords; }

  using StepHandler = void (CNotifySmtpClient::*)();
  static StepHandler HandlerFor(SmtpState state);

  // Closed is final: no state follows it.
  void SetState(SmtpState state);
  void OnSendProgress() override;
  void OnSendError(int errorCode) override;
  int ReplyCode() const;

  // How a failed job ends: a QUIT and its reply (the server refused a command), or at once.
  enum class Ending { Quit, Close };
  // The one way a job gives up: records the first failure (reason, step, error, the server's
  // reply line, a failed handshake's certificate), tells the diagnosis, leaves the failure
  // record, then says QUIT or closes the connection. A delivered job records nothing.
  void Fail(SmtpFailureReason reason, Ending ending = Ending::Close, int errorCode = 0);
  // Connects to the first IPv4 address of a host entry; false (Closed) when there is none.
  bool ConnectToHost(const fw::HostEnt* pHost);
  // Starts connecting to a dotted address; false (Closed) when that failed at once.
  bool ConnectToAddress(const std::string& address);
  // The channel's settings: the configured server's name and the pinned fingerprint.
  fw::TlsSettings TlsSettings() const;
  // `text` (a server's reply) with the credentials masked: every reply the job shows or records
  // passes through here.
  std::string Redacted(std::string text) const;

  // Commands whose reply a state awaits.
  void SendEhlo();
  void SendLogin();
  void SendMailFrom();
  void SendNextRecipient();

  // Conversation steps, one per state that awaits a reply.
  void OnGreeting();
  void OnHeloReply();
  void OnEhloReply();
  void OnStartTlsReply();
  void OnAuthReply();
  void OnMailReply();
  void OnRcptReply();
  void OnDataReply();
  void OnDataEndReply();
  void OnQuitReply();

  // Message composition.
  void SendMessageStart();
  void PumpBody();
  void SendInformationPart();
  void SendLogPart();
  void EndInformationPart(bool bComplete);
  void SendBodyText(std::string_view text);

  // Runs a notification's work: the job's only exception guard. An exception (a journal file
  // that cannot be read, memory) fails the job instead of leaving the thread.
  template <typename Action>
  void Guarded(Action&& action) noexcept {
    try {
      action();
    } catch (const fw::CFileException&) {
      Fail(SmtpFailureReason::JournalUnreadable);
    } catch (const std::bad_alloc&) {
      Fail(SmtpFailureReason::OutOfMemory);
    } catch (...) {
      Fail(SmtpFailureReason::UnexpectedException);
    }
  }

  std::uint32_t m_dwLastActivity = 0;
  bool m_bDelivered = false;
  SmtpState m_nState = SmtpState::Idle;
  std::string m_strReply;
  std::string m_strSubject;
  bool m_bInfoPending = false;
  bool m_bLogPending = false;
  bool m_bConfigComplete = false;
  std::size_t m_nNextRecipient = 0;
  std::string m_strServer;
  int m_nPort = 0;
  std::vector<std::string> m_arrRecipients;
  std::string m_strFrom;
  int m_nLogLines = 0;
  int m_nLogLineCount = 0;
  std::string m_strLogFile;
  std::string m_strInfoFile;
  fw::CStdioFile m_fileInfo;
  fw::CStdioFile m_fileLog;

  std::string m_strProfile;  // the settings' profile; empty: the global configuration
  int m_nSecurity = 0;       // CNotifyConfig::kSecurity...
  std::string m_strUser;
  std::string m_strPassword;  // wiped when the job goes
  std::string m_strCertificatePin;
  std::string m_strAddress;               // the dotted address connected to
  std::vector<std::string> m_replyLines;  // the lines of the reply being read
  bool m_bHandlingReply = false;          // a step handler runs on m_strReply
  smtp::Capabilities m_capabilities;
  std::unique_ptr<smtp::CAuthExchange> m_pAuth;
  CSmtpDiagnosis* m_pDiagnosis = nullptr;
  bool m_bRecordsFailures = true;
  std::uint32_t m_nJobId = 0;
  bool m_bInlineBody = false;
  std::string m_strInlineBody;

  bool m_bMessageStarted = false;  // the server took DATA and the header went out
  CBodyFilter m_bodyFilter;
  CLogLineReader m_logReader;
  std::vector<char> m_readBuffer;
  StateObserver m_stateObserver;
  SmtpFailure m_failure;
};
