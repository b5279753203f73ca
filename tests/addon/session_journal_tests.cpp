// The session journal: file names and their creation, the Log and Information line formats,
// the "Notify When" rule, masking of secrets, and the hand-over of both files at the end.
#include <algorithm>
#include <filesystem>
#include <string>

#include "addon_test_support.h"
#include "journal/NotifySession.h"

namespace qbtest {
namespace {

void* Handle(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

class SessionJournalTest : public AddOnTest {
 protected:
  CNotifySession& Create(std::uintptr_t handle, const char* profile = "Main") {
    CNotifySession* session = app->CreateSession(Handle(handle), profile);
    EXPECT_NE(session, nullptr);
    return *session;
  }
  void Destroy(std::uintptr_t handle) { app->DestroySession(Handle(handle)); }

  // An Information line for the fixed time.
  static std::string Event(const std::string& result, const std::string& text) {
    return StampOf(kTime) + " - (" + result + ") - " + text + "\r\n";
  }
};

TEST_F(SessionJournalTest, FileNamesCarryHandleAndTickAsSignedNumbers) {
  m_nTick = 5678;
  CNotifySession& session = Create(1234);
  EXPECT_EQ(session.GetLogFile(), DataDir() + "Log_1234_5678.txt");
  EXPECT_EQ(session.GetInfoFile(), DataDir() + "Information_1234_5678.txt");
  EXPECT_TRUE(FileExists(session.GetLogFile()));
  EXPECT_TRUE(FileExists(session.GetInfoFile()));

  m_nTick = 0xFFFFFFFFu;
  CNotifySession& high = Create(0x80000000u);
  EXPECT_EQ(high.GetLogFile(), DataDir() + "Log_-2147483648_-1.txt");
  EXPECT_EQ(high.GetInfoFile(), DataDir() + "Information_-2147483648_-1.txt");
}

TEST_F(SessionJournalTest, ATakenNameIsNeverTruncatedButSkipped) {
  m_nTick = 100;
  WriteFileBytes(DataDir() + "Log_1_100.txt", "keep log");
  WriteFileBytes(DataDir() + "Information_2_100.txt", "keep info");

  CNotifySession& first = Create(1);
  EXPECT_EQ(first.GetLogFile(), DataDir() + "Log_1_101.txt");
  EXPECT_EQ(first.GetInfoFile(), DataDir() + "Information_1_101.txt");
  CNotifySession& second = Create(2);
  EXPECT_EQ(second.GetLogFile(), DataDir() + "Log_2_101.txt");

  EXPECT_EQ(ReadFileBytes(DataDir() + "Log_1_100.txt"), "keep log");
  EXPECT_EQ(ReadFileBytes(DataDir() + "Information_2_100.txt"), "keep info");
  EXPECT_FALSE(FileExists(DataDir() + "Log_2_100.txt"));  // the half-made pair is gone

  // Ending without mail deletes only the session's own files.
  Destroy(1);
  Destroy(2);
  std::vector<std::string> left = ListDirectory(DataDir());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"Information_2_100.txt", "Log_1_100.txt"}));
}

TEST_F(SessionJournalTest, LogLinesArePaddedPrefixesAndTheHostsText) {
  CNotifySession& session = Create(7);
  session.LogCommand("USER bob");
  session.LogResponse("331 Password required");
  session.LogStatus("Connected", false);
  session.LogStatus("Timeout", true);
  session.LogResponse("");
  session.LogResponse(nullptr);
  session.OnConnectionStart(11, "ftp.example");
  Destroy(7);

  ASSERT_EQ(app->handovers.size(), 1u);
  EXPECT_EQ(app->handovers[0].logBytes,
            "KOMMANDO:> USER bob\r\n"
            "           331 Password required\r\n"
            "STATUS:>   Connected\r\n"
            "FEHLER:>   Timeout\r\n"
            "           \r\n"
            "           \r\n");
  EXPECT_EQ(app->handovers[0].nLogLineCount, 6);
}

TEST_F(SessionJournalTest, PasswordsAndAccountsNeverReachTheLog) {
  CNotifySession& session = Create(7);
  for (const char* command : {"PASS s3cret", "  pass  two words", "Acct 12345", "PASS", "PASSWORD x", "USER pass"}) {
    session.LogCommand(command);
  }
  session.OnConnectionStart(1, "ftp.example");
  Destroy(7);

  ASSERT_EQ(app->handovers.size(), 1u);
  EXPECT_EQ(app->handovers[0].logBytes,
            "KOMMANDO:> PASS ********\r\n"
            "KOMMANDO:>   pass ********\r\n"
            "KOMMANDO:> Acct ********\r\n"
            "KOMMANDO:> PASS\r\n"
            "KOMMANDO:> PASSWORD x\r\n"
            "KOMMANDO:> USER pass\r\n");
}

TEST_F(SessionJournalTest, OnErrorOnlySuccessfulEventsSendNothingAndLeaveNothing) {
  StoreSettings("Main", 0);
  CNotifySession& session = Create(7);
  session.OnConnectionStart(0, "ftp.example");
  session.OnFileDownloaded(0, "/a", "C:\\a");
  session.LogStatus("Timeout", true);  // an error status is no event
  session.OnConnectionEnd(0);
  EXPECT_EQ(session.GetInfoLineCount(), 0);
  Destroy(7);

  EXPECT_TRUE(app->handovers.empty());
  EXPECT_TRUE(ListDirectory(DataDir()).empty());
}

TEST_F(SessionJournalTest, OnErrorOneFailedEventAmongManyIsTheOnlyLineAndQueuesTheMail) {
  StoreSettings("Main", 0);
  CNotifySession& session = Create(7);
  const std::string infoFile = session.GetInfoFile();
  const std::string logFile = session.GetLogFile();
  session.LogCommand("RETR b");
  session.OnConnectionStart(0, "ftp.example");
  session.OnFileDownloaded(0, "/a", "C:\\a");
  session.OnFileDownloaded(5, "/b", "C:\\b");
  session.OnFileUploaded(0, "C:\\c", "/c");
  session.LogResponse("226 done");
  Destroy(7);

  ASSERT_EQ(app->handovers.size(), 1u);
  const Handover& handover = app->handovers[0];
  EXPECT_EQ(handover.infoFile, infoFile);
  EXPECT_EQ(handover.logFile, logFile);
  EXPECT_EQ(handover.nLogLineCount, 2);
  EXPECT_EQ(handover.config.m_strProfile, "Main");
  EXPECT_EQ(handover.config.m_strSmtpServer, "smtp.example");
  EXPECT_EQ(handover.config.m_nSmtpPort, 2525);
  EXPECT_EQ(handover.config.m_strSubject, "Transfers");
  EXPECT_EQ(handover.infoBytes,
            Event("Fehler beim \xd6" "ffnen der Datei", "Download: \"/b\" --> \"C:\\b\""));
  EXPECT_EQ(handover.logBytes, "KOMMANDO:> RETR b\r\n           226 done\r\n");
  EXPECT_EQ(app->FindSession(Handle(7)), nullptr);
}

TEST_F(SessionJournalTest, AlwaysRecordsEveryEventWithItsResultText) {
  StoreSettings("Main", 1);
  CNotifySession& session = Create(7);
  session.OnConnectionStart(0, "ftp.example");
  session.OnFileDownloaded(2, "/a", "C:\\a");
  session.OnFileUploaded(12, "C:\\c", "/c");
  session.OnFileDeleted(0, "/d");
  session.OnFileRenamed(0, "/old", "/new");
  session.OnDirCreated(0, "/dir");
  session.OnDirDeleted(0, nullptr);
  session.OnConnectionEnd(0);
  // Codes without a text, also where a 16-bit or 32-bit wrap would reach an existing one.
  for (std::uint32_t code : {13u, 65536u, 0xFFFFFFFFu}) session.OnFileDeleted(code, "/x");
  Destroy(7);

  ASSERT_EQ(app->handovers.size(), 1u);
  EXPECT_EQ(app->handovers[0].nLogLineCount, 0);
  EXPECT_EQ(app->handovers[0].infoBytes,
            Event("Erfolgreich", "Verbindung: \"ftp.example\"") +
                Event("XCRC Fehler", "Download: \"/a\" --> \"C:\\a\"") +
                Event("Fehler beim Anlegen oder \xc4" "ndern des angegebenen Verzeichnisses",
                      "Upload: \"C:\\c\" --> \"/c\"") +
                Event("Erfolgreich", "L\xf6schen: \"/d\"") +
                Event("Erfolgreich", "Umbenennen: \"/old\" --> \"/new\"") +
                Event("Erfolgreich", "Verzeichnis anlegen: \"/dir\"") +
                Event("Erfolgreich", "Verzeichnis l\xf6schen: \"\"") +
                Event("Erfolgreich", "Verbindungsende: QUIT Kommando") + Event("", "L\xf6schen: \"/x\"") +
                Event("", "L\xf6schen: \"/x\"") + Event("", "L\xf6schen: \"/x\""));
}

TEST_F(SessionJournalTest, OtherNotifyWhenValuesRecordNothing) {
  for (int notifyWhen : {2, -1}) {
    StoreSettings("Main", notifyWhen);
    CNotifySession& session = Create(7);
    session.OnConnectionStart(1, "ftp.example");
    session.OnConnectionEnd(0);
    Destroy(7);
  }
  EXPECT_TRUE(app->handovers.empty());
  EXPECT_TRUE(ListDirectory(DataDir()).empty());
}

TEST_F(SessionJournalTest, TheTimeStampFollowsTheClock) {
  StoreSettings("Main", 1);
  CNotifySession& session = Create(7);
  session.OnConnectionStart(0, "a");
  session.OnConnectionStart(0, "b");
  m_nTime = kTime + 1;
  session.OnConnectionStart(0, "c");
  m_nTime = kTime + 86400 + 3600;
  session.OnConnectionStart(0, "d");
  Destroy(7);

  ASSERT_EQ(app->handovers.size(), 1u);
  const std::string tail = " - (Erfolgreich) - Verbindung: ";
  EXPECT_EQ(app->handovers[0].infoBytes, StampOf(kTime) + tail + "\"a\"\r\n" + StampOf(kTime) + tail + "\"b\"\r\n" +
                                             StampOf(kTime + 1) + tail + "\"c\"\r\n" + StampOf(kTime + 86400 + 3600) +
                                             tail + "\"d\"\r\n");
}

TEST_F(SessionJournalTest, AfterTheHandOverTheSessionTakesNoMoreLines) {
  StoreSettings("Main", 1);
  CNotifySession& session = Create(7);
  session.OnConnectionStart(0, "ftp.example");
  session.LogCommand("QUIT");
  session.EndSession();
  ASSERT_EQ(app->handovers.size(), 1u);

  session.OnConnectionEnd(0);
  session.LogResponse("221 Bye");
  session.EndSession();
  EXPECT_EQ(session.GetInfoLineCount(), 1);
  EXPECT_EQ(session.GetLogLineCount(), 1);
  EXPECT_EQ(app->handovers.size(), 1u);
  EXPECT_FALSE(FileExists(session.GetInfoFile()));  // the stand-in job deleted them
}

TEST_F(SessionJournalTest, WithoutADataDirectoryNothingIsRecorded) {
  StoreSettings("Main", 1);
  std::filesystem::remove_all(DataDir());
  CNotifySession& session = Create(7);
  session.OnConnectionStart(1, "ftp.example");
  session.LogResponse("220 ready");
  EXPECT_EQ(session.GetInfoLineCount(), 0);
  EXPECT_EQ(session.GetLogLineCount(), 0);
  Destroy(7);
  EXPECT_TRUE(app->handovers.empty());
  EXPECT_FALSE(FileExists(DataDir()));
}

TEST_F(SessionJournalTest, ASessionDeletedWithoutEndingDeletesItsFiles) {
  StoreSettings("Main", 1);
  CNotifySession& session = Create(7);
  session.OnConnectionStart(0, "ftp.example");
  session.LogResponse("220 ready");
  app->DestroyAllSessions();
  EXPECT_TRUE(app->handovers.empty());
  EXPECT_TRUE(ListDirectory(DataDir()).empty());
}

}  // namespace
}  // namespace qbtest
