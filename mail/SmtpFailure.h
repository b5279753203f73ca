// Why a mail job failed, from one list: the reason's name, its short English text for traces
// and its German text in the string table (for the failure record and the diagnosis). And
// the record of a failure that the job's one failure path fills.
#pragma once

#include <string>

#include "framework/tls.h"
#include "mail/SmtpState.h"
#include "resource.h"

// X(name, English text, string id of the German text)
#define QB_SMTP_FAILURES(X)                                                                 \
  X(None, "none", 0)                                                                        \
  X(IncompleteSettings, "incomplete settings", IDS_REASON_INCOMPLETE_SETTINGS)              \
  X(NoSocket, "no socket", IDS_REASON_NO_SOCKET)                                            \
  X(LookupNotStarted, "the name lookup cannot start", IDS_REASON_LOOKUP_NOT_STARTED)        \
  X(LookupFailed, "the name lookup failed", IDS_REASON_LOOKUP_FAILED)                       \
  X(NoIpv4Address, "the name has no IPv4 address", IDS_REASON_NO_IPV4_ADDRESS)              \
  X(BroadcastAddress, "the name resolves to 255.255.255.255", IDS_REASON_BROADCAST_ADDRESS) \
  X(ConnectFailed, "cannot connect", IDS_REASON_CONNECT_FAILED)                             \
  X(TlsFailed, "TLS failed", IDS_REASON_TLS_FAILED)                                         \
  X(ServerClosed, "the server closed the connection", IDS_REASON_SERVER_CLOSED)             \
  X(SendFailed, "sending failed", IDS_REASON_SEND_FAILED)                                   \
  X(Timeout, "no reply in time", IDS_REASON_TIMEOUT)                                        \
  X(ReplyWithoutEnd, "a reply line without end", IDS_REASON_REPLY_WITHOUT_END)              \
  X(GreetingRefused, "greeting refused", IDS_REASON_GREETING_REFUSED)                       \
  X(HeloRefused, "HELO refused", IDS_REASON_HELO_REFUSED)                                   \
  X(EhloRefused, "EHLO refused", IDS_REASON_EHLO_REFUSED)                                   \
  X(StartTlsNotOffered, "STARTTLS not offered", IDS_REASON_STARTTLS_NOT_OFFERED)            \
  X(StartTlsRefused, "STARTTLS refused", IDS_REASON_STARTTLS_REFUSED)                       \
  X(NotEncrypted, "the connection is not encrypted", IDS_REASON_NOT_ENCRYPTED)              \
  X(NoAuthMechanism, "no usable login mechanism", IDS_REASON_NO_AUTH_MECHANISM)             \
  X(AuthRefused, "login refused", IDS_REASON_AUTH_REFUSED)                                  \
  X(SenderRefused, "sender refused", IDS_REASON_SENDER_REFUSED)                             \
  X(NoRecipient, "no recipient", IDS_REASON_NO_RECIPIENT)                                   \
  X(RecipientRefused, "recipient refused", IDS_REASON_RECIPIENT_REFUSED)                    \
  X(DataRefused, "DATA refused", IDS_REASON_DATA_REFUSED)                                   \
  X(UnexpectedReply, "a reply while the message was sent", IDS_REASON_UNEXPECTED_REPLY)     \
  X(MessageRefused, "message refused", IDS_REASON_MESSAGE_REFUSED)                          \
  X(JournalUnreadable, "a journal file cannot be read", IDS_REASON_JOURNAL_UNREADABLE)      \
  X(OutOfMemory, "out of memory", IDS_REASON_OUT_OF_MEMORY)                                 \
  X(UnexpectedException, "unexpected exception", IDS_REASON_UNEXPECTED_EXCEPTION)           \
  X(Dropped, "dropped before it ended", IDS_REASON_DROPPED)                                 \
  X(Cancelled, "cancelled", IDS_REASON_CANCELLED)

enum class SmtpFailureReason {
#define QB_SMTP_FAILURE_ENUM(name, text, id) name,
  QB_SMTP_FAILURES(QB_SMTP_FAILURE_ENUM)
#undef QB_SMTP_FAILURE_ENUM
};

// The English text ("greeting refused").
const char* SmtpFailureText(SmtpFailureReason reason);
// The string id of the German text (0 for None).
unsigned SmtpFailureTextId(SmtpFailureReason reason);

// A failure as the job's one failure path recorded it.
struct SmtpFailure {
  SmtpFailureReason reason = SmtpFailureReason::None;
  SmtpState step = SmtpState::Idle;  // the state the job was in: the step that failed
  int error = 0;                     // the socket's error code, when one caused it
  std::string reply;                 // the final line of the server's last reply, if any
  // A failed TLS handshake: why, what the backend said, and the server's certificate when it
  // sent one (its fingerprint is what a pin would name).
  fw::TlsFailure tls = fw::TlsFailure::None;
  std::string tlsDetail;
  fw::TlsCertificateInfo certificate;

  bool HasFailed() const { return reason != SmtpFailureReason::None; }
};
