// Message composition byte for byte, with the socket's output replaced by a sink that takes a
// given number of bytes per writable notification: header rows, Message-ID, Date line, the
// introduction, the Information file, the last N log lines, the transparency rules, long
// lines, empty and missing files, a socket that stops being send-ready anywhere, and the
// end-of-data marker only after the server took DATA.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

#include "../MailTestSupport.h"
#include "framework/test_seams.h"
#include "mail/NotifySmtpClient.h"
#include "settings/NotifyConfig.h"

namespace {

constexpr std::int64_t kNow = 1796441700;
const std::string kIntro =
    "Folgende Nachricht wurde Ihnen vom FTP Quorbit Notify Add-On aufgrund des konfigurierten Ereignisses "
    "geschickt.\r\n\r\n";
const std::string kSeparator = "\r\n---------- Sitzungsprotokoll ----------\r\n\r\n";
const std::string kMarker = "\r\n.\r\n";

// A job whose connection is a string: each writable notification lets `budget` bytes through.
class SinkClient : public CNotifySmtpClient {
 public:
  SinkClient(const CNotifyConfig& config, const std::string& infoFile, const std::string& logFile, int logLineCount)
      : CNotifySmtpClient(nullptr, &config, infoFile.c_str(), logFile.c_str(), logLineCount) {}

  // Where the job stands after it sent "DATA".
  void AwaitDataReply() { SetState(SmtpState::AwaitDataReply); }
  void Reply(const std::string& text) {
    const char* data = text.data();
    int length = static_cast<int>(text.size());
    while (length > 0 && OnReceivedData(data, length)) {
    }
  }
  // Writable notifications until the marker is out and nothing waits, `budget` bytes each.
  void Drain(std::size_t budget) {
    for (int guard = 0; guard < 1000000; ++guard) {
      m_budget = budget;
      OnSend(0);
      if (GetState() != SmtpState::AwaitDataReply && GetPendingSendLength() == 0) return;
    }
    ADD_FAILURE() << "the message never ended";
  }
  // One writable notification that lets `budget` bytes through.
  void Step(std::size_t budget) {
    m_budget = budget;
    OnSend(0);
  }
  bool InfoOpen() const { return m_fileInfo.IsOpen(); }
  bool LogOpen() const { return m_fileLog.IsOpen(); }

  std::string m_wire;
  std::size_t m_largestWrite = 0;

 protected:
  int Transmit(const char* data, int length, int, int& error) override {
    if (m_budget == 0) {
      error = fw::kWsaEWouldBlock;
      return fw::kSocketError;
    }
    const std::size_t count = std::min(static_cast<std::size_t>(length), m_budget);
    m_wire.append(data, count);
    m_budget -= count;
    m_largestWrite = std::max(m_largestWrite, count);
    return static_cast<int>(count);
  }

 private:
  std::size_t m_budget = 0;
};

class MessageComposition : public ::testing::Test {
 protected:
  void SetUp() override {
    fw::testing::SetTimeSource([] { return kNow; });
    m_config.m_strSmtpServer = "127.0.0.1";
    m_config.m_strDeliverTo = "rcpt@example.org";
    m_config.m_strFromEmail = "notify@example.org";
    m_config.m_strSubject = "Report";
    m_config.m_nLogLines = 0;
  }
  void TearDown() override { fw::testing::SetTimeSource(nullptr); }

  // The whole message for the files' contents (null: the file does not exist).
  std::string Compose(const char* info, const char* log, int logLineCount, std::size_t budget = SIZE_MAX) {
    if (info) mailtest::WriteFile(m_info, info);
    if (log) mailtest::WriteFile(m_log, log);
    SinkClient client(m_config, m_info, m_log, logLineCount);
    client.AwaitDataReply();
    client.Reply("354 go ahead\r\n");
    client.Drain(budget);
    EXPECT_EQ(client.GetState(), SmtpState::AwaitDataEndReply);
    return client.m_wire;
  }
  std::string Compose(const std::string& info, const std::string& log, int logLineCount,
                      std::size_t budget = SIZE_MAX) {
    return Compose(info.c_str(), log.c_str(), logLineCount, budget);
  }

  // The message after the introduction.
  static std::string Body(const std::string& message) {
    const std::size_t at = message.find(kIntro);
    return at == std::string::npos ? "<no introduction>" : message.substr(at + kIntro.size());
  }

  mailtest::ManualTickCount m_ticks{1000};
  mailtest::TempDir m_dir;
  std::string m_info = m_dir.File("Information_7_1000.txt");
  std::string m_log = m_dir.File("Log_7_1000.txt");
  CNotifyConfig m_config;
};

TEST_F(MessageComposition, WholeMessageByteForByte) {
  m_ticks.Advance(0x80000000u);  // a tick count above 2^31 prints negative
  m_config.m_strDeliverTo = "a@example.org, b@example.org;c@example.org";
  m_config.m_nLogLines = 10;
  const std::string message = Compose("event one\r\nevent two\r\n", "l1\r\nl2\r\nl3\r\nl4\r\n", 4);
  EXPECT_EQ(message,
            "Message-ID: <notify@example.org@-2147482648>\r\n"
            "From: <notify@example.org>\r\n"
            "To: a@example.org,\r\n\tb@example.org,\r\n\tc@example.org\r\n"
            "Subject: Report\r\n" +
                CNotifySmtpClient::FormatDateLine(kNow) +
                "MIME-Version: 1.0\r\n"
                "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"\r\n"
                "Content-Transfer-Encoding: 7bit\r\n"
                "\r\n" +
                kIntro + "event one\r\nevent two\r\n" + kSeparator + "l1\r\nl2\r\nl3\r\nl4\r\n" + kMarker);
}

TEST_F(MessageComposition, SubjectDefaultsAndControlCharactersBecomeBlanks) {
  m_config.m_strSubject = "";
  EXPECT_NE(Compose("e\r\n", "", 0).find("\r\nSubject: FTP Quorbit Notify Add-On Nachricht\r\n"), std::string::npos);
  m_config.m_strSubject = "Hi\r\nBcc: evil@example.org\tx\x7f";
  EXPECT_NE(Compose("e\r\n", "", 0).find("\r\nSubject: Hi  Bcc: evil@example.org x \r\n"), std::string::npos);
}

TEST_F(MessageComposition, LogPartCarriesTheLastNLinesByTheSessionsCount) {
  std::string log;
  for (int i = 1; i <= 25; ++i) log += "line " + std::to_string(i) + "\r\n";
  std::string last10;
  for (int i = 16; i <= 25; ++i) last10 += "line " + std::to_string(i) + "\r\n";

  m_config.m_nLogLines = 10;
  EXPECT_EQ(Body(Compose("e\r\n", log, 25)), "e\r\n" + kSeparator + last10 + kMarker);
  EXPECT_EQ(Body(Compose("e\r\n", "a\r\nb\r\n", 2)), "e\r\n" + kSeparator + "a\r\nb\r\n" + kMarker) << "N > L";

  m_config.m_nLogLines = 0;
  EXPECT_EQ(Body(Compose("e\r\n", log, 25)), "e\r\n" + kMarker) << "N = 0: no log part at all";
}

TEST_F(MessageComposition, EmptyInformationFileGoesStraightToTheSeparatorOrMarker) {
  EXPECT_EQ(Body(Compose("", "", 0)), kMarker);
  m_config.m_nLogLines = 5;
  EXPECT_EQ(Body(Compose("", "", 0)), kSeparator + kMarker);
}

TEST_F(MessageComposition, MissingFilesEndTheirPartInsteadOfStallingTheMessage) {
  m_config.m_nLogLines = 5;
  // No Information file: the Log part follows (without separator), then the marker.
  EXPECT_EQ(Body(Compose(nullptr, "x\r\n", 1)), "x\r\n" + kMarker);
  std::remove(m_log.c_str());
  EXPECT_EQ(Body(Compose("e\r\n", nullptr, 1)), "e\r\n" + kSeparator + kMarker);
}

TEST_F(MessageComposition, BodyIsTransparentAcrossPieces) {
  m_config.m_nLogLines = 10;
  // A line that starts right at a piece boundary, a CR LF split by one, bare LF, lone CR and
  // a 0x1A byte, which ends nothing.
  std::string info = std::string(CNotifySmtpClient::kBodyPieceSize - 1, 'a') + "\n.b\r\nc\rd\n" +
                     std::string(CNotifySmtpClient::kBodyPieceSize - 9, 'e') + "\r\n.\r\n";
  std::string expectedInfo = std::string(CNotifySmtpClient::kBodyPieceSize - 1, 'a');
  // Break the long lines the way the wire needs them.
  auto broken = [](const std::string& line) {
    std::string out;
    for (std::size_t i = 0; i < line.size(); i += CBodyFilter::kMaxLineLength) {
      if (i) out += "\r\n";
      out += line.substr(i, CBodyFilter::kMaxLineLength);
    }
    return out;
  };
  expectedInfo = broken(expectedInfo) + "\r\n..b\r\nc\r\nd\r\n" +
                 broken(std::string(CNotifySmtpClient::kBodyPieceSize - 9, 'e')) + "\r\n..\r\n";
  const std::string log = ".\r\n..x\r\nq\x1aw\r\nend\n.";
  const std::string expectedLog = "..\r\n...x\r\nq\x1aw\r\nend\r\n..\r\n";
  EXPECT_EQ(Body(Compose(info, log, 5)), expectedInfo + kSeparator + expectedLog + kMarker);
}

TEST_F(MessageComposition, SocketThatStopsBeingReadyAnywhereLosesAndRepeatsNothing) {
  m_config.m_nLogLines = 50;
  std::string info;
  std::string log;
  for (int i = 0; i < 900; ++i) info += (i % 7 ? "event " : ".dot ") + std::to_string(i) + "\r\n";
  for (int i = 0; i < 60; ++i) log += (i % 5 ? "log " : ".") + std::to_string(i) + "\r\n";
  const std::string whole = Compose(info, log, 60);
  for (std::size_t budget : {1u, 7u, 100u, 4096u, 10240u, 10241u, 30000u}) {
    EXPECT_TRUE(Compose(info, log, 60, budget) == whole) << "budget " << budget;
  }
}

TEST_F(MessageComposition, HugeLogLineIsNeverHeldWhole) {
  m_config.m_nLogLines = 1;
  const std::string huge(300000, 'h');
  mailtest::WriteFile(m_info, "e\r\n");
  mailtest::WriteFile(m_log, huge + "\r\n");
  SinkClient client(m_config, m_info, m_log, 1);
  client.AwaitDataReply();
  client.Reply("354 go\r\n");
  client.Drain(SIZE_MAX);
  EXPECT_LE(client.m_largestWrite, 2 * CNotifySmtpClient::kBodyPieceSize);
  std::string body = Body(client.m_wire);
  EXPECT_EQ(body.size(),
            3 + kSeparator.size() + huge.size() + 2 * (huge.size() / CBodyFilter::kMaxLineLength) + 2 + kMarker.size());
}

TEST_F(MessageComposition, ProgressWhileSendingKeepsTheJobAlive) {
  std::string info;
  for (int i = 0; i < 5000; ++i) info += "event " + std::to_string(i) + "\r\n";
  mailtest::WriteFile(m_info, info);
  mailtest::WriteFile(m_log, "");
  SinkClient client(m_config, m_info, m_log, 0);
  client.AwaitDataReply();
  client.Reply("354 go\r\n");
  // A slow link: every 100 s the connection takes some more, and the server says nothing.
  for (int i = 0; i < 3; ++i) {
    m_ticks.Advance(100000);
    client.Step(1000);
    EXPECT_FALSE(client.IsExpired()) << "after " << (i + 1) * 100 << " s";
  }
  m_ticks.Advance(CNotifySmtpClient::kIdleTimeoutMs);
  EXPECT_TRUE(client.IsExpired()) << "a stalled connection still expires";
}

TEST_F(MessageComposition, NothingOfTheBodyGoesOutBeforeTheServerTookData) {
  mailtest::WriteFile(m_info, "e\r\n");
  mailtest::WriteFile(m_log, "");
  SinkClient client(m_config, m_info, m_log, 0);
  client.AwaitDataReply();
  client.Step(SIZE_MAX);  // writable before any reply to DATA
  EXPECT_EQ(client.m_wire, "");
  EXPECT_EQ(client.GetState(), SmtpState::AwaitDataReply);
  client.Reply("250 odd\r\n");
  EXPECT_EQ(client.m_wire, "QUIT\r\n") << "a 2xx reply to DATA gives up without a header";
}

TEST_F(MessageComposition, SecondReplyWhileTheMessageGoesOutClosesInsteadOfRepeatingIt) {
  std::string info;
  for (int i = 0; i < 3000; ++i) info += "event " + std::to_string(i) + "\r\n";
  mailtest::WriteFile(m_info, info);
  mailtest::WriteFile(m_log, "");
  SinkClient client(m_config, m_info, m_log, 0);
  client.AwaitDataReply();
  client.Reply("354 go\r\n");
  client.Step(2000);  // the header and part of the Information file
  const std::string sent = client.m_wire;
  ASSERT_EQ(sent.size(), 2000u);
  client.Reply("354 again\r\n");
  EXPECT_EQ(client.GetState(), SmtpState::Closed);
  EXPECT_EQ(client.m_wire.size(), sent.size());
  client.Step(SIZE_MAX);
  EXPECT_EQ(client.m_wire.find("Message-ID"), client.m_wire.rfind("Message-ID"));
  EXPECT_EQ(client.m_wire.find(kMarker), std::string::npos);
}

TEST_F(MessageComposition, DestroyingAJobCutOffInTheLogPartDeletesBothFiles) {
  m_config.m_nLogLines = 100;
  std::string log;
  for (int i = 0; i < 5000; ++i) log += "log line " + std::to_string(i) + "\r\n";
  mailtest::WriteFile(m_info, "e\r\n");
  mailtest::WriteFile(m_log, log);
  {
    SinkClient client(m_config, m_info, m_log, 5000);
    client.AwaitDataReply();
    client.Reply("354 go\r\n");
    client.Step(1000);  // the header, the Information part and some of the Log part
    ASSERT_FALSE(client.InfoOpen());
    ASSERT_TRUE(client.LogOpen());
    ASSERT_EQ(client.GetState(), SmtpState::AwaitDataReply);
  }
  EXPECT_FALSE(mailtest::FileExists(m_info));
  EXPECT_FALSE(mailtest::FileExists(m_log));
}

}  // namespace
