// The exports and the application object: module paths, the session registry by handle,
// settings reloads, profile keys however spelled, the hand-over to the worker and the module's
// end, and directory creation. The built module as a host loads it is tested end to end (tests/host).
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "addon/exports.h"
#include "addon_test_support.h"
#include "framework/app.h"
#include "journal/NotifySession.h"

namespace qbtest {
namespace {

const std::string kAddOnName = "FTP Quorbit\xae Notify Add-On von ";

using AddOnExportsTest = AddOnTest;

TEST_F(AddOnExportsTest, ModulePathsAndANameThatNeverOverrunsOrTouchesABadBuffer) {
  EXPECT_EQ(app->m_strModulePath, m_strModuleDir + "QBNotifyAddOn" + fw::kModuleExtension);
  EXPECT_EQ(app->m_strModuleName, std::string("QBNotifyAddOn") + fw::kModuleExtension);
  EXPECT_EQ(app->m_strDataDir, app->m_strModuleDir + "Data" + fw::kPathSeparator);
  EXPECT_TRUE(std::filesystem::is_directory(app->m_strDataDir));

  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  QBAddOnName(buffer, 10);
  EXPECT_EQ(std::string(buffer, 11), kAddOnName.substr(0, 9) + '\0' + 'x');
  QBAddOnName(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer).rfind(kAddOnName, 0), 0u);
  EXPECT_TRUE(std::all_of(buffer + std::strlen(buffer), buffer + sizeof buffer, [](char c) { return c == 0; }));
  buffer[0] = 'x';
  QBAddOnName(buffer, 0);
  QBAddOnName(buffer, -5);
  QBAddOnName(nullptr, 10);
  EXPECT_EQ(buffer[0], 'x');
}

TEST_F(AddOnExportsTest, EventsReachOnlyTheFirstSessionOfAHandleWhileItIsRegistered) {
  StoreSettings("First", 1, "first.example");
  QBAddOnSessionCreate(Handle(1), "First");
  QBAddOnSessionCreate(Handle(1), "Second");
  QBAddOnConnectionStart(Handle(1), 0, "ftp.example");
  QBAddOnFileDownloaded(Handle(1), 0, nullptr, nullptr);
  QBAddOnFileUploaded(Handle(1), 0, "a", "b");
  QBAddOnFileDeleted(Handle(1), 0, "a");
  QBAddOnFileRenamed(Handle(1), 0, "a", "b");
  QBAddOnDirCreated(Handle(1), 0, "d");
  QBAddOnDirDeleted(Handle(1), 0, "d");
  QBAddOnConnectionEnd(Handle(1), 0);
  QBAddOnLogCommand(Handle(1), nullptr);
  QBAddOnLogResponse(Handle(1), "220");
  QBAddOnLogStatus(Handle(1), "Done", 2);
  QBAddOnConnectionStart(Handle(2), 1, "ftp.example");  // never registered
  QBAddOnSessionDestroy(Handle(2));
  QBAddOnSessionDestroy(Handle(1));
  QBAddOnConnectionStart(Handle(1), 1, "ftp.example");  // no longer registered
  QBAddOnSessionDestroy(Handle(1));

  ASSERT_EQ(app->handovers.size(), 1u);
  const Handover& handover = app->handovers[0];
  EXPECT_EQ(handover.config.m_strSmtpServer, "first.example");
  EXPECT_EQ(std::count(handover.infoBytes.begin(), handover.infoBytes.end(), '\n'), 8);
  EXPECT_EQ(handover.logBytes, "KOMMANDO:> \r\n           220\r\nFEHLER:>   Done\r\n");
  EXPECT_TRUE(app->m_mapSessions.empty());
}

TEST_F(AddOnExportsTest, SavingReloadsTheSessionsOfThatProfileInAnyCaseOrAllForTheGlobal) {
  StoreSettings("main", 0);
  StoreSettings("other", 0);
  QBAddOnSessionCreate(Handle(1), "MAIN");
  QBAddOnSessionCreate(Handle(2), "other");
  QBAddOnSessionCreate(Handle(3), "Unset");
  const auto rule = [&] {
    std::string rules;
    for (int h : {1, 2, 3}) rules += std::to_string(app->FindSession(Handle(h))->GetConfig().m_nNotifyWhen);
    return rules;
  };
  StoreSettings("main", 1);
  EXPECT_EQ(rule(), "100");
  StoreSettings(nullptr, 1, "global.example");
  EXPECT_EQ(rule(), "101");
  QBAddOnConnectionStart(Handle(3), 0, "ftp.example");  // events follow the reloaded rule
  EXPECT_EQ(app->FindSession(Handle(3))->GetInfoLineCount(), 1);
}

TEST_F(AddOnExportsTest, ProfilesMoveAndGoButNoSpellingOfANameReachesTheGlobalConfiguration) {
  StoreSettings("Old", 1, "old.example");
  QBAddOnProfileNameChange("Old", "New");
  EXPECT_EQ(ServerIn("Old") + ServerIn("New"), "-old.example");
  QBAddOnProfileDeleted("new");
  EXPECT_EQ(ServerIn("New"), "-");

  // Names that the registry resolves to the global key or to a key above it, as old name and
  // as new name (the latter with no global key, which a move would create).
  for (const char* name : {"QBNotifyAddOn Global Configuration\\", "\\QBNotifyAddOn Global Configuration",
                           "qbnotifyaddon GLOBAL configuration\\\\", "\\\\QBNOTIFYADDON GLOBAL CONFIGURATION\\", "\\",
                           "\\\\", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(name ? name : "null");
    StoreSettings(nullptr, 1, "global.example");
    QBAddOnProfileDeleted(name);
    QBAddOnProfileNameChange(name, "Stolen");
    EXPECT_EQ(ServerIn(nullptr) + ServerIn("Stolen"), "global.example-");
    DeleteKeyTree(fw::HKeyUsers(), KeyOf(nullptr));
    StoreSettings("Old", 1, "old.example");
    QBAddOnProfileNameChange("Old", name);
    EXPECT_EQ(ServerIn(nullptr) + ServerIn("Old"), "-old.example");
  }
}

TEST_F(AddOnExportsTest, NoJournalFileOutlivesAFailedHandOverTheWorkerOrTheModule) {
  StoreSettings(nullptr, 1, "");  // no server: a job fails at once and never goes to the network
  app->queue = TestApp::Queue::kNoWorker;
  QBAddOnSessionCreate(Handle(1), nullptr);
  QBAddOnConnectionStart(Handle(1), 1, "ftp.example");
  QBAddOnSessionDestroy(Handle(1));
  EXPECT_EQ(app->m_pMailThread, nullptr);
  EXPECT_TRUE(ListDirectory(DataDir()).empty());

  app->queue = TestApp::Queue::kRealWorker;
  QBAddOnSessionCreate(Handle(1), "Unconfigured");
  QBAddOnConnectionStart(Handle(1), 11, "ftp.example");
  QBAddOnSessionDestroy(Handle(1));
  ASSERT_NE(app->m_pMailThread, nullptr);
  QBAddOnSessionCreate(Handle(1), "");  // live sessions when the module goes
  QBAddOnConnectionStart(Handle(1), 1, "ftp.example");
  QBAddOnSessionCreate(Handle(2), "");
  app->ExitInstance();  // the job failed already or is still queued: it goes with its files
  EXPECT_EQ(app->m_pMailThread, nullptr);
  EXPECT_EQ(QBAddOnCanUnload(), 1);
  app.reset();
  EXPECT_TRUE(ListDirectory(m_strModuleDir + "Data").empty());
}

TEST(CreateDirectoryPathTest, CreatesEachMissingDirectoryAndReportsTheLast) {
  TempDir dir;
  const std::string base = dir.File("base") + fw::kPathSeparator;
  const std::string nested = base + "one" + fw::kPathSeparator + "two" + fw::kPathSeparator;
  EXPECT_TRUE(CreateDirectoryPath(nested.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  EXPECT_FALSE(CreateDirectoryPath(nested.c_str()));
  EXPECT_TRUE(CreateDirectoryPath((base + "three").c_str()));
  std::string tooLong = base + "long" + fw::kPathSeparator;
  tooLong.resize(260, 'x');
  EXPECT_FALSE(CreateDirectoryPath(tooLong.c_str()));
  EXPECT_FALSE(std::filesystem::exists(base + "long"));
}

}  // namespace
}  // namespace qbtest
