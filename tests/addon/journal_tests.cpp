// The session journal: file names, line formats and line breaks in host texts, the "Notify
// When" rule, masked secrets, and the hand-over of both files at the session's end.
#include <filesystem>

#include "addon_test_support.h"
#include "journal/NotifySession.h"

namespace qbtest {
namespace {

class SessionJournalTest : public AddOnTest {
 protected:
  CNotifySession& Create(std::uintptr_t handle) { return *app->CreateSession(Handle(handle), "Main"); }
  static std::string Event(const std::string& result, const std::string& text) {
    return StampOf(kTime) + " - (" + result + ") - " + text + "\r\n";
  }
};

TEST_F(SessionJournalTest, NamesCarrySignedNumbersAndSkipEveryTakenOne) {
  m_clock.tick = 0xFFFFFFFFu;
  EXPECT_EQ(Create(0x80000000u).GetLogFile(), DataDir() + "Log_-2147483648_-1.txt");
  // Names left behind for many ticks: the session looks on until both names are free.
  m_clock.tick = 100;
  for (int tick = 100; tick < 250; ++tick) WriteBytes(DataDir() + "Log_1_" + std::to_string(tick) + ".txt", "keep");
  WriteBytes(DataDir() + "Information_1_250.txt", "keep");
  EXPECT_EQ(Create(1).GetInfoFile(), DataDir() + "Information_1_251.txt");
  EXPECT_EQ(app->FindSession(Handle(1))->GetLogFile(), DataDir() + "Log_1_251.txt");
  app->DestroyAllSessions();
  EXPECT_EQ(ReadBytes(DataDir() + "Log_1_249.txt") + ReadBytes(DataDir() + "Information_1_250.txt"), "keepkeep");
  EXPECT_EQ(ListDirectory(DataDir()).size(), 151u);
}

TEST_F(SessionJournalTest, LogLinesArePaddedBreaksStartContinuationsAndSecretsNeverShow) {
  const std::string more = "\r\n           ";  // a continuation line: indented like a response
  const struct {
    char kind;  // C command, R response, S status, E error status
    const char* text;
    std::string lines;
  } cases[] = {
      {'C', "USER bob", "KOMMANDO:> USER bob"},
      {'C', "PASS s3cret", "KOMMANDO:> PASS ********"},
      {'C', "  pass  two words", "KOMMANDO:>   pass ********"},
      {'C', "Acct 12345", "KOMMANDO:> Acct ********"},
      {'C', "PASS", "KOMMANDO:> PASS"},
      {'C', "PASSWORD x", "KOMMANDO:> PASSWORD x"},
      {'C', "PASS se\r\ncret", "KOMMANDO:> PASS ********"},  // masked before it is split
      {'C', "PASS\ns3cret", "KOMMANDO:> PASS ********"},
      {'C', "NOOP\rpass x\r\n", "KOMMANDO:> NOOP" + more + "pass ********"},
      {'R', "first\r\nsecond\rthird\nfourth\r\n",
       "           first" + more + "second" + more + "third" + more + "fourth"},
      {'R', "a\n\r\n", "           a" + more},
      {'R', nullptr, "           "},
      {'S', "Connected", "STATUS:>   Connected"},
      {'E', "Timeout\r\n", "FEHLER:>   Timeout"},
  };
  CNotifySession& session = Create(7);
  std::string expected;
  for (const auto& c : cases) {
    if (c.kind == 'C') session.LogCommand(c.text);
    if (c.kind == 'R') session.LogResponse(c.text);
    if (c.kind == 'S' || c.kind == 'E') session.LogStatus(c.text, c.kind == 'E');
    expected += c.lines + "\r\n";
  }
  session.OnConnectionStart(11, "ftp.example");
  app->DestroySession(Handle(7));
  ASSERT_EQ(app->handovers.size(), 1u);
  EXPECT_EQ(app->handovers[0].logBytes, expected);
  EXPECT_EQ(app->handovers[0].nLogLineCount, 19) << "one count per journal line";
}

TEST_F(SessionJournalTest, WithoutARecordedEventNothingIsSentAndNothingLeft) {
  for (int notifyWhen : {0, 2, -1}) {
    StoreSettings("Main", notifyWhen);
    Create(7).OnConnectionStart(notifyWhen == 0 ? 0 : 1, "ftp.example");
    app->FindSession(Handle(7))->LogStatus("Timeout", true);
    app->DestroySession(Handle(7));
  }
  EXPECT_TRUE(ListDirectory(DataDir()).empty());
  std::filesystem::remove_all(DataDir());  // nor is anything recorded without a data directory
  Create(7).OnConnectionStart(1, "ftp.example");
  EXPECT_EQ(app->FindSession(Handle(7))->GetInfoLineCount(), 0);
  app->DestroySession(Handle(7));
  EXPECT_TRUE(app->handovers.empty());
}

TEST_F(SessionJournalTest, OnErrorTheFailedEventIsTheOnlyLineAndTheMailIsHandedOver) {
  StoreSettings("Main", 0);
  CNotifySession& session = Create(7);
  const std::string infoFile = session.GetInfoFile(), logFile = session.GetLogFile();
  session.OnConnectionStart(0, "ftp.example");
  session.OnFileDownloaded(5, "/b", "C:\\b");
  session.OnFileUploaded(0, "C:\\c", "/c");
  session.LogResponse("226 done");
  app->DestroySession(Handle(7));
  ASSERT_EQ(app->handovers.size(), 1u);
  const Handover& handover = app->handovers[0];
  EXPECT_EQ(handover.infoFile + handover.logFile, infoFile + logFile);
  EXPECT_EQ(handover.nLogLineCount, 1);
  EXPECT_EQ(handover.config.m_strSmtpServer, "smtp.example");
  EXPECT_EQ(handover.infoBytes, Event("Fehler beim \326ffnen der Datei", "Download: \"/b\" --> \"C:\\b\""));
  EXPECT_EQ(handover.logBytes, "           226 done\r\n");
}

TEST_F(SessionJournalTest, AlwaysRecordsEveryEventWithItsResultText) {
  StoreSettings("Main", 1);
  CNotifySession& session = Create(7);
  session.OnConnectionStart(0, "ftp.example");
  session.OnFileDownloaded(2, "/a", "C:\\a");
  session.OnFileUploaded(12, "C:\\c", "/c");
  session.OnFileDeleted(0, "/d%s%%");
  session.OnFileRenamed(0, "/old", "/new");
  session.OnDirCreated(0, "/dir");
  session.OnDirDeleted(0, nullptr);
  session.OnConnectionEnd(0);
  session.OnFileRenamed(0, "/a\r\nb", "\rc\n");  // one event, one line
  // Codes without a text, also where a 16-bit or 32-bit wrap would reach an existing one.
  for (std::uint32_t code : {13u, 65536u, 0xFFFFFFFFu}) session.OnFileDeleted(code, "/x");
  app->DestroySession(Handle(7));
  ASSERT_EQ(app->handovers.size(), 1u);
  const std::string ok = "Erfolgreich", unknown = Event("", "L\xf6schen: \"/x\"");
  EXPECT_EQ(
      app->handovers[0].infoBytes,
      Event(ok, "Verbindung: \"ftp.example\"") + Event("XCRC Fehler", "Download: \"/a\" --> \"C:\\a\"") +
          Event("Fehler beim Anlegen oder \304ndern des angegebenen Verzeichnisses", "Upload: \"C:\\c\" --> \"/c\"") +
          Event(ok, "L\xf6schen: \"/d%s%%\"") + Event(ok, "Umbenennen: \"/old\" --> \"/new\"") +
          Event(ok, "Verzeichnis anlegen: \"/dir\"") + Event(ok, "Verzeichnis l\xf6schen: \"\"") +
          Event(ok, "Verbindungsende: QUIT Kommando") + Event(ok, "Umbenennen: \"/a  b\" --> \" c \"") + unknown +
          unknown + unknown);
}

TEST_F(SessionJournalTest, StampsFollowTheClockAndNothingFollowsTheHandOver) {
  StoreSettings("Main", 1);
  CNotifySession& session = Create(7);
  session.OnConnectionEnd(0);
  m_clock.time = kTime + 86400 + 3661;
  session.OnConnectionEnd(0);
  session.EndSession();
  session.OnConnectionEnd(0);
  session.LogResponse("221 Bye");
  session.EndSession();
  ASSERT_EQ(app->handovers.size(), 1u);
  EXPECT_EQ(session.GetLogLineCount(), 0);
  const std::string tail = " - (Erfolgreich) - Verbindungsende: QUIT Kommando\r\n";
  EXPECT_EQ(app->handovers[0].infoBytes, StampOf(kTime) + tail + StampOf(kTime + 86400 + 3661) + tail);
}

}  // namespace
}  // namespace qbtest
