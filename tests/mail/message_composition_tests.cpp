// Message composition byte for byte, with the socket's output replaced by a sink that takes a
// given number of bytes per writable notification: the header, the introduction, the
// Information file, the last N log lines, transparency across file pieces, missing files, a
// socket that stops being send-ready anywhere or fails, the end-of-data marker only after the
// server took DATA, and the replies to the marker.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <tuple>

#include "mail_test_support.h"

namespace mailtest {
namespace {

constexpr std::int64_t kNow = 1796441700;
const std::string kIntro =
    "Folgende Nachricht wurde Ihnen vom FTP Quorbit Notify Add-On aufgrund des konfigurierten Ereignisses "
    "geschickt.\r\n\r\n";
const std::string kSeparator = "\r\n---------- Sitzungsprotokoll ----------\r\n\r\n";
const std::string kMarker = "\r\n.\r\n";
constexpr std::size_t kPiece = CNotifySmtpClient::kBodyPieceSize;
using File = std::optional<std::string>;  // a file's contents, or none for a missing file

// A line as the wire needs it: broken after every kMaxLineLength characters.
std::string Broken(const std::string& line) {
  std::string out;
  for (std::size_t i = 0; i < line.size(); i += CBodyFilter::kMaxLineLength) {
    out += (i ? "\r\n" : "") + line.substr(i, CBodyFilter::kMaxLineLength);
  }
  return out;
}

// A job past "DATA" whose connection is a string: each writable notification lets a budget
// of bytes through.
class SinkClient : public WireSink<CNotifySmtpClient> {
 public:
  SinkClient(const CNotifyConfig& config, const std::string& infoFile, const std::string& logFile, int logLineCount)
      : WireSink(nullptr, &config, infoFile.c_str(), logFile.c_str(), logLineCount) {
    budget = 0;
    SetState(SmtpState::AwaitDataReply);
  }
  void Reply(const std::string& text) {
    const char* data = text.data();
    int length = static_cast<int>(text.size());
    while (length > 0 && OnReceivedData(data, length)) {
    }
  }
  void Step(std::size_t bytes) {
    budget = bytes;
    OnSend(0);
  }
  // Writable notifications until the marker is out and nothing waits.
  void Drain(std::size_t bytes) {
    for (int guard = 0; guard < 1000000; ++guard) {
      Step(bytes);
      if (GetState() != SmtpState::AwaitDataReply && GetPendingSendLength() == 0) return;
    }
    ADD_FAILURE() << "the message never ended";
  }
};

class MessageComposition : public ::testing::Test {
 protected:
  // A job that the server told to go ahead with the message of the files' contents (none: the
  // file does not exist).
  std::unique_ptr<SinkClient> StartedClient(const File& info, const File& log, int logLineCount) {
    std::remove(m_info.c_str());
    std::remove(m_log.c_str());
    if (info) qbtest::WriteBytes(m_info, *info);
    if (log) qbtest::WriteBytes(m_log, *log);
    auto client = std::make_unique<SinkClient>(m_config, m_info, m_log, logLineCount);
    client->Reply("354 go ahead\r\n");
    return client;
  }
  // The whole message, sent `budget` bytes per writable notification.
  std::string Compose(const File& info, const File& log, int logLineCount, std::size_t budget = SIZE_MAX) {
    const auto client = StartedClient(info, log, logLineCount);
    client->Drain(budget);
    EXPECT_EQ(client->GetState(), SmtpState::AwaitDataEndReply);
    return client->wire;
  }
  // The message after the introduction.
  static std::string Body(const std::string& message) {
    const std::size_t at = message.find(kIntro);
    return at == std::string::npos ? "<no introduction>" : message.substr(at + kIntro.size());
  }
  // Information enough for many writes.
  static std::string ManyEvents() {
    std::string info;
    for (int i = 0; i < 5000; ++i) info += "event " + std::to_string(i) + "\r\n";
    return info;
  }

  qbtest::ScopedClock m_clock{1000, kNow};
  qbtest::TempDir m_dir;
  std::string m_info = m_dir.File("Information_7_1000.txt"), m_log = m_dir.File("Log_7_1000.txt");
  CNotifyConfig m_config = MailConfig("127.0.0.1", 25);
};

TEST_F(MessageComposition, WholeMessageByteForByte) {
  m_clock.tick += 0x80000000u;  // a number above 2^31 prints negative
  // The number follows the tick count but is never used twice: this message's is one above.
  const auto number = static_cast<std::int32_t>(CNotifySmtpClient::NextMessageNumber(m_clock.tick) + 1);
  m_config.m_strDeliverTo = "a@example.org, b@example.org;c@example.org";
  m_config.m_strSubject = "Report";
  m_config.m_nLogLines = 10;
  EXPECT_EQ(Compose("event one\r\nevent two\r\n", "l1\r\nl2\r\nl3\r\nl4\r\n", 4),
            "Message-ID: <notify@example.org@" + std::to_string(number) +
                ">\r\nFrom: <notify@example.org>\r\n"
                "To: a@example.org,\r\n\tb@example.org,\r\n\tc@example.org\r\nSubject: Report\r\n" +
                CNotifySmtpClient::FormatDateLine(kNow) +
                "MIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"\r\n"
                "Content-Transfer-Encoding: 7bit\r\n\r\n" +
                kIntro + "event one\r\nevent two\r\n" + kSeparator + "l1\r\nl2\r\nl3\r\nl4\r\n" + kMarker);
}

TEST_F(MessageComposition, SubjectDefaultsAndControlCharactersBecomeBlanks) {
  EXPECT_NE(Compose("e\r\n", "", 0).find("\r\nSubject: FTP Quorbit Notify Add-On Nachricht\r\n"), std::string::npos);
  m_config.m_strSubject = "Hi\r\nBcc: evil@example.org\tx\x7f";
  EXPECT_NE(Compose("e\r\n", "", 0).find("\r\nSubject: Hi  Bcc: evil@example.org x \r\n"), std::string::npos);
}

TEST_F(MessageComposition, LogPartCarriesTheLastNLinesAndMissingFilesEndTheirPart) {
  std::string log, last10;
  for (int i = 1; i <= 25; ++i) (i > 15 ? last10 : log) += "line " + std::to_string(i) + "\r\n";
  log += last10;
  // N, the Information file, the Log file, the lines counted in it, the body.
  const std::tuple<int, File, File, int, std::string> cases[] = {
      {10, "e\r\n", log, 25, "e\r\n" + kSeparator + last10 + kMarker},
      {10, "e\r\n", "a\r\nb\r\n", 2, "e\r\n" + kSeparator + "a\r\nb\r\n" + kMarker},  // N > L
      {0, "e\r\n", log, 25, "e\r\n" + kMarker},                                       // no log part at all
      {0, "", "", 0, kMarker},
      {5, "", "", 0, kSeparator + kMarker},
      {5, std::nullopt, "x\r\n", 1, "x\r\n" + kMarker},  // no Information file: no separator either
      {5, "e\r\n", std::nullopt, 1, "e\r\n" + kSeparator + kMarker},
      {5, "e\r\n", "a\r\nb\r\n", 40, "e\r\n" + kSeparator + kMarker},  // fewer lines than counted
  };
  for (const auto& [n, info, logFile, count, body] : cases) {
    m_config.m_nLogLines = n;
    EXPECT_EQ(Body(Compose(info, logFile, count)), body) << "N " << n << ", info " << info.value_or("none");
  }
}

TEST_F(MessageComposition, BodyIsTransparentAcrossFilePieces) {
  m_config.m_nLogLines = 10;
  // A line that starts right at a piece boundary, bare LF, lone CR, a 0x1A byte that ends
  // nothing, leading dots and lines longer than the wire allows.
  const std::string a(kPiece - 1, 'a'), e(kPiece - 9, 'e');
  EXPECT_EQ(Body(Compose(a + "\n.b\r\nc\rd\n" + e + "\r\n.\r\n", ".\r\n..x\r\nq\x1aw\r\nend\n.", 5)),
            Broken(a) + "\r\n..b\r\nc\r\nd\r\n" + Broken(e) + "\r\n..\r\n" + kSeparator +
                "..\r\n...x\r\nq\x1aw\r\nend\r\n..\r\n" + kMarker);
}

TEST_F(MessageComposition, SocketThatStopsBeingReadyAnywhereLosesAndRepeatsNothing) {
  m_config.m_nLogLines = 50;
  std::string info, log;
  for (int i = 0; i < 900; ++i) info += (i % 7 ? "event " : ".dot ") + std::to_string(i) + "\r\n";
  for (int i = 0; i < 60; ++i) log += (i % 5 ? "log " : ".") + std::to_string(i) + "\r\n";
  const std::string whole = Body(Compose(info, log, 60));
  for (std::size_t budget : {1u, 7u, 4096u, 10240u, 10241u, 30000u}) {
    EXPECT_TRUE(Body(Compose(info, log, 60, budget)) == whole) << "budget " << budget;
  }
}

TEST_F(MessageComposition, LogLinesAreSkippedAcrossPiecesAndAHugeOneIsNeverHeldWhole) {
  m_config.m_nLogLines = 2;
  // The first line's CR LF straddles two pieces of the file.
  const std::string skipped(kPiece - 1, 's'), huge(300000, 'h');
  auto client = StartedClient("e\r\n", skipped + "\r\n" + huge + "\r\nend\r\n", 3);
  client->Drain(SIZE_MAX);
  EXPECT_LE(client->largestWrite, 2 * kPiece);
  EXPECT_TRUE(Body(client->wire) == "e\r\n" + kSeparator + Broken(huge) + "\r\nend\r\n" + kMarker);
}

TEST_F(MessageComposition, ProgressWhileSendingKeepsTheJobAlive) {
  auto client = StartedClient(ManyEvents(), "", 0);
  // A slow link: every 100 s the connection takes some more, and the server says nothing.
  for (int i = 1; i <= 3; ++i) {
    m_clock.tick += 100000;
    client->Step(1000);
    EXPECT_FALSE(client->IsExpired()) << "after " << i * 100 << " s";
  }
  m_clock.tick += CNotifySmtpClient::kIdleTimeoutMs;
  EXPECT_TRUE(client->IsExpired()) << "a stalled connection still expires";
}

TEST_F(MessageComposition, OnlyA2xxReplyToTheMarkerDeliversAndQuitFollowsEveryOne) {
  for (const char* reply : {"250 queued", "354 more?", "451 later", "554 spam"}) {
    const auto client = StartedClient("", "", 0);
    client->Drain(SIZE_MAX);
    const std::size_t sent = client->wire.size();
    client->Reply(std::string(reply) + "\r\n");
    EXPECT_EQ(client->wire.substr(sent), "QUIT\r\n") << reply;
    EXPECT_EQ(client->IsFinished(), *reply == '2') << reply;
    EXPECT_EQ(client->GetFailure().reply, *reply == '2' ? "" : reply);
    EXPECT_EQ(client->GetState(), SmtpState::AwaitQuitReply);
  }
}

TEST_F(MessageComposition, AHardSendErrorFailsTheJobAndStopsThePump) {
  auto client = StartedClient(ManyEvents(), "", 0);
  client->Step(1000);
  client->error = fw::kWsaENotConn;
  client->Step(0);  // writable, but the write fails
  EXPECT_EQ(
      std::tuple(client->IsSendReady(), client->GetState(), client->GetFailure().reason, client->GetFailure().step,
                 client->GetFailure().error),
      std::tuple(0, SmtpState::Closed, SmtpFailureReason::SendFailed, SmtpState::AwaitDataReply, fw::kWsaENotConn));
  client->Step(SIZE_MAX);
  EXPECT_EQ(client->wire.size(), 1000u) << "nothing more goes out";

  // A QUIT that cannot be sent closes the job; the refusal stays the failure.
  const auto refused = StartedClient("", "", 0);
  refused->Drain(SIZE_MAX);
  refused->error = fw::kWsaENotConn;
  refused->Step(0);  // the connection takes nothing more
  refused->Reply("554 spam\r\n");
  EXPECT_EQ(std::tuple(refused->GetState(), refused->GetFailure().reason, refused->GetFailure().error),
            std::tuple(SmtpState::Closed, SmtpFailureReason::MessageRefused, 0));
}

TEST_F(MessageComposition, NothingOfTheBodyGoesOutBeforeTheServerTookData) {
  qbtest::WriteBytes(m_info, "e\r\n");
  SinkClient client(m_config, m_info, m_log, 0);
  client.Step(SIZE_MAX);  // writable before any reply to DATA
  EXPECT_EQ(client.wire, "");
  EXPECT_EQ(client.GetState(), SmtpState::AwaitDataReply);
}

TEST_F(MessageComposition, SecondReplyWhileTheMessageGoesOutClosesAndTheFilesStillGo) {
  m_config.m_nLogLines = 100;
  std::string log;
  for (int i = 0; i < 5000; ++i) log += "log line " + std::to_string(i) + "\r\n";
  {
    auto client = StartedClient("e\r\n", log, 5000);
    client->Step(1000);  // the header, the Information part and some of the Log part
    ASSERT_EQ(client->wire.size(), 1000u);
    ASSERT_NE(client->wire.find(kSeparator), std::string::npos);
    client->Reply("354 again\r\n");
    EXPECT_EQ(std::tuple(client->GetState(), client->wire.size()), std::tuple(SmtpState::Closed, 1000u));
    client->Step(SIZE_MAX);
    EXPECT_EQ(client->wire.find("Message-ID"), client->wire.rfind("Message-ID"));
    EXPECT_EQ(client->wire.find(kMarker), std::string::npos);
  }  // destroyed with the Log file open
  EXPECT_FALSE(qbtest::FileExists(m_info));
  EXPECT_FALSE(qbtest::FileExists(m_log));
}

}  // namespace
}  // namespace mailtest
