// Message composition of a mail job: the header block, the Date line, the introduction, the
// body pumped from the Information and Log files through the transparency filter while the
// socket takes data, and the end-of-data marker.
#include <algorithm>
#include <atomic>

#include "framework/clock.h"
#include "framework/strings.h"
#include "mail/NotifySmtpClient.h"
#include "mail/SubjectHeader.h"
#include "resource.h"

namespace {

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The local offset east of UTC at t, in seconds: t minus t's UTC fields read as local time.
std::int64_t LocalZoneOffset(std::int64_t t) {
  fw::CalendarTime utc;
  if (!fw::ToUtcTime(t, utc)) return 0;
  const std::int64_t asLocal = fw::FromLocalTime(utc);
  return asLocal == -1 ? 0 : t - asLocal;
}

}  // namespace

std::uint32_t CNotifySmtpClient::NextMessageNumber(std::uint32_t tick) {
  // Bit 32 is set once a number was used; the low 32 bits hold that number.
  static std::atomic<std::uint64_t> s_last{0};
  constexpr std::uint64_t kUsed = std::uint64_t{1} << 32;
  std::uint64_t last = s_last.load();
  std::uint32_t next = tick;
  do {
    const auto previous = static_cast<std::uint32_t>(last);
    // `tick` not after the last number, counted on the wrapping 32-bit circle.
    const bool bNotAfter = static_cast<std::int32_t>(tick - previous) <= 0;
    next = last != 0 && bNotAfter ? previous + 1 : tick;
  } while (!s_last.compare_exchange_weak(last, kUsed | next));
  return next;
}

std::string CNotifySmtpClient::FormatDateLine(std::int64_t t) {
  fw::CalendarTime local;
  if (!fw::ToLocalTime(t, local) || local.dayOfWeek < 0 || local.dayOfWeek > 6 || local.month < 1 || local.month > 12) {
    return {};
  }
  const std::int64_t zone = LocalZoneOffset(t);
  const std::int64_t magnitude = zone < 0 ? -zone : zone;
  const int hours = static_cast<int>(std::min<std::int64_t>(magnitude / 3600, 99));
  const int minutes = static_cast<int>((magnitude / 60) % 60);
  return fw::Format("Date: %s, %d %s %d %02d:%02d:%02d %c%02d%02d\r\n", kDayNames[local.dayOfWeek], local.day,
                    kMonthNames[local.month - 1], local.year, local.hour, local.minute, local.second,
                    zone < 0 ? '-' : '+', hours, minutes);
}

void CNotifySmtpClient::SendMessageStart() {
  m_bMessageStarted = true;
  const std::int64_t now = fw::Time64();

  // The header block and the introduction go out in one write.
  std::string start = fw::Format("Message-ID: <%s@%d>\r\n", m_strFrom.c_str(),
                                 static_cast<std::int32_t>(NextMessageNumber(fw::GetTickCount())));
  start += "From: <" + m_strFrom + ">\r\n";
  start += "To: ";
  for (std::size_t i = 0; i < m_arrRecipients.size(); ++i) {
    if (i != 0) start += ",\r\n\t";
    start += m_arrRecipients[i];
  }
  start += "\r\n";
  start += mailheader::FormatSubjectField(m_strSubject);
  start += FormatDateLine(now);
  start += "MIME-Version: 1.0\r\n";
  start += "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"\r\n";
  start += "Content-Transfer-Encoding: 7bit\r\n";
  start += "\r\n";
  if (!m_bInlineBody) start += fw::LoadString(IDS_MAIL_INTRO) + "\r\n\r\n";
  SendText(start);

  m_bodyFilter.Reset();
  m_bInfoPending = true;
  PumpBody();
}

void CNotifySmtpClient::PumpBody() {
  // Nothing of the body goes out before the server took DATA, nor on a dead connection.
  if (!m_bMessageStarted || m_nState == SmtpState::Closed) return;
  if (IsSendReady() && m_bInfoPending) SendInformationPart();
  if (IsSendReady() && m_bLogPending) SendLogPart();
  if (m_nState == SmtpState::AwaitDataReply && !m_bInfoPending && !m_bLogPending) {
    SendText("\r\n.\r\n");
    SetState(SmtpState::AwaitDataEndReply);
  }
}

void CNotifySmtpClient::SendBodyText(std::string_view text) {
  std::string wire;
  m_bodyFilter.Filter(text, wire);
  if (!wire.empty()) SendText(wire);
}

void CNotifySmtpClient::SendInformationPart() {
  if (m_bInlineBody) {
    SendBodyText(m_strInlineBody);
    EndInformationPart(true);
    return;
  }
  if (!m_fileInfo.IsOpen() && !m_fileInfo.Open(m_strInfoFile, fw::CStdioFile::modeRead | fw::CStdioFile::typeBinary)) {
    EndInformationPart(false);
    return;
  }
  m_readBuffer.resize(kBodyPieceSize);
  while (IsSendReady()) {
    const std::size_t count = std::min(m_fileInfo.Read(m_readBuffer.data(), m_readBuffer.size()), m_readBuffer.size());
    if (count == 0) break;
    SendBodyText(std::string_view(m_readBuffer.data(), count));
  }
  if (!IsSendReady()) return;  // goes on from the same position at the next OnSend
  m_fileInfo.Abort();
  EndInformationPart(true);
}

void CNotifySmtpClient::EndInformationPart(bool bComplete) {
  m_bInfoPending = false;
  std::vector<char>().swap(m_readBuffer);
  if (m_nLogLines <= 0) return;
  m_bLogPending = true;
  // Without its file the part sent nothing; the separator is left out too.
  if (bComplete) {
    SendText("\r\n" + fw::LoadString(IDS_LOG_SEPARATOR) + "\r\n\r\n");
    m_bodyFilter.Reset();
  }
}

void CNotifySmtpClient::SendLogPart() {
  const CLogLineReader::ReadFunction read = [this](char* buffer, std::size_t count) {
    return m_fileLog.Read(buffer, count);
  };
  if (!m_fileLog.IsOpen()) {
    if (!m_fileLog.Open(m_strLogFile, fw::CStdioFile::modeRead | fw::CStdioFile::typeBinary)) {
      m_bLogPending = false;
      return;
    }
    // The last N lines are those after the first L - N that the session wrote.
    m_logReader.Reset();
    m_logReader.SkipLines(std::max<long long>(0, static_cast<long long>(m_nLogLineCount) - m_nLogLines), read);
  }
  std::string batch;  // filtered lines not handed to the socket yet
  std::string_view text;
  bool bLineEnds = false;
  while (IsSendReady() && m_logReader.NextPiece(read, text, bLineEnds)) {
    // Lines go out in writes of about one piece, not a packet each.
    if (batch.size() + text.size() > kBodyPieceSize) {
      SendText(batch);
      batch.clear();
    }
    m_bodyFilter.Filter(text, batch);
    if (bLineEnds) m_bodyFilter.Filter("\r\n", batch);
  }
  if (!batch.empty()) SendText(batch);
  if (!IsSendReady()) return;  // goes on from the same position at the next OnSend
  m_fileLog.Abort();
  m_logReader.Reset();
  m_bLogPending = false;
}
