// The exported entry points and the application object: module paths, the session registry
// by handle, settings reloads, profile keys, the unload question, and the module's end.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "addon/exports.h"
#include "addon_test_support.h"
#include "framework/app.h"
#include "framework/registry.h"
#include "journal/NotifySession.h"
#include "mail/NotifyMailThread.h"

namespace qbtest {
namespace {

void* Handle(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

const char kAddOnName[] = "FTP Quorbit\xae Notify Add-On von ";

using AddOnExportsTest = AddOnTest;

TEST_F(AddOnExportsTest, InitInstanceWorksOutTheModulePathsAndCreatesTheDataDirectory) {
  const std::string modulePath = m_strModuleDir + "QBNotifyAddOn" + fw::kModuleExtension;
  EXPECT_EQ(app->m_strModulePath, modulePath);
  EXPECT_EQ(app->m_strModuleName, std::string("QBNotifyAddOn") + fw::kModuleExtension);
  EXPECT_EQ(app->m_strModuleDir, m_strModuleDir);
  EXPECT_EQ(app->m_strDataDir, m_strModuleDir + "Data" + fw::kPathSeparator);
  EXPECT_TRUE(std::filesystem::is_directory(app->m_strDataDir));
}

TEST_F(AddOnExportsTest, NameIsCutToTheBufferAndAlwaysTerminated) {
  char small[10];
  std::memset(small, 'x', sizeof small);
  QBAddOnName(small, sizeof small);
  EXPECT_EQ(std::string(small), std::string(kAddOnName, 9));

  char large[200];
  std::memset(large, 'x', sizeof large);
  QBAddOnName(large, sizeof large);
  const std::size_t length = std::strlen(large);
  EXPECT_EQ(std::string(large, std::strlen(kAddOnName)), kAddOnName);
  EXPECT_TRUE(std::all_of(large + length, large + sizeof large, [](char c) { return c == '\0'; }));

  char untouched[4] = {'x', 'x', 'x', 'x'};
  QBAddOnName(untouched, 0);
  QBAddOnName(untouched, -5);
  QBAddOnName(nullptr, 10);
  EXPECT_EQ(std::string(untouched, 4), "xxxx");
  QBAddOnName(untouched, 1);
  EXPECT_EQ(untouched[0], '\0');
  EXPECT_EQ(untouched[1], 'x');
}

TEST_F(AddOnExportsTest, EventsReachOnlyTheFirstSessionOfARegisteredHandle) {
  StoreSettings("First", 1, "first.example");
  StoreSettings("Second", 1, "second.example");
  QBAddOnSessionCreate(Handle(1), "First");
  QBAddOnSessionCreate(Handle(1), "Second");
  CNotifySession* session = app->FindSession(Handle(1));
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->GetConfig().m_strSmtpServer, "first.example");

  QBAddOnConnectionStart(Handle(1), 0, "ftp.example");
  QBAddOnFileDownloaded(Handle(1), 0, nullptr, nullptr);  // null texts read as empty
  QBAddOnFileUploaded(Handle(1), 0, "a", "b");
  QBAddOnFileDeleted(Handle(1), 0, "a");
  QBAddOnFileRenamed(Handle(1), 0, "a", "b");
  QBAddOnDirCreated(Handle(1), 0, "d");
  QBAddOnDirDeleted(Handle(1), 0, "d");
  QBAddOnConnectionEnd(Handle(1), 0);
  QBAddOnLogCommand(Handle(1), nullptr);
  QBAddOnLogResponse(Handle(1), "220");
  QBAddOnLogStatus(Handle(1), "Done", 2);
  EXPECT_EQ(session->GetInfoLineCount(), 8);
  EXPECT_EQ(session->GetLogLineCount(), 3);

  // Handles that were never registered, or no longer are, change nothing.
  QBAddOnConnectionStart(Handle(2), 1, "ftp.example");
  QBAddOnLogResponse(nullptr, "x");
  QBAddOnSessionDestroy(Handle(2));
  QBAddOnSessionDestroy(Handle(1));
  ASSERT_EQ(app->handovers.size(), 1u);
  EXPECT_EQ(app->handovers[0].config.m_strSmtpServer, "first.example");
  EXPECT_EQ(app->handovers[0].logBytes, "KOMMANDO:> \r\n           220\r\nFEHLER:>   Done\r\n");
  QBAddOnConnectionStart(Handle(1), 1, "ftp.example");
  QBAddOnSessionDestroy(Handle(1));
  EXPECT_EQ(app->FindSession(Handle(1)), nullptr);
  EXPECT_EQ(app->handovers.size(), 1u);
}

TEST_F(AddOnExportsTest, SavingReloadsTheSessionsOfThatProfileInAnyCaseOrAllForTheGlobal) {
  StoreSettings("main", 0);
  StoreSettings("other", 0);
  QBAddOnSessionCreate(Handle(1), "MAIN");
  QBAddOnSessionCreate(Handle(2), "other");
  QBAddOnSessionCreate(Handle(3), "main");

  StoreSettings("main", 1);
  EXPECT_EQ(app->FindSession(Handle(1))->GetConfig().m_nNotifyWhen, 1);
  EXPECT_EQ(app->FindSession(Handle(2))->GetConfig().m_nNotifyWhen, 0);
  EXPECT_EQ(app->FindSession(Handle(3))->GetConfig().m_nNotifyWhen, 1);

  // A global save reloads every session: those without settings of their own take its values.
  QBAddOnSessionCreate(Handle(4), "Unset");
  QBAddOnSessionCreate(Handle(5), "");
  EXPECT_EQ(app->FindSession(Handle(4))->GetConfig().m_nNotifyWhen, 0);
  StoreSettings(nullptr, 1, "global.example");
  EXPECT_EQ(app->FindSession(Handle(4))->GetConfig().m_strSmtpServer, "global.example");
  EXPECT_EQ(app->FindSession(Handle(5))->GetConfig().m_nNotifyWhen, 1);
  EXPECT_EQ(app->FindSession(Handle(1))->GetConfig().m_nNotifyWhen, 1);
  StoreSettings("main", 0);

  // Events after the reload follow the new rule.
  QBAddOnConnectionStart(Handle(1), 0, "ftp.example");
  EXPECT_EQ(app->FindSession(Handle(1))->GetInfoLineCount(), 0);
  QBAddOnConnectionStart(Handle(4), 0, "ftp.example");
  EXPECT_EQ(app->FindSession(Handle(4))->GetInfoLineCount(), 1);
}

TEST_F(AddOnExportsTest, ProfileRenamesAndDeletionsNeverTouchTheGlobalConfiguration) {
  StoreSettings(nullptr, 1, "global.example");
  StoreSettings("Old", 1, "old.example");
  const std::string globalKey = CNotifyConfig().GetRegistryKey(true);
  auto serverOf = [&](const char* profile) {
    return app->ReadRegString(fw::HKeyUsers(), CNotifyConfig(profile).GetRegistryKey(false).c_str(), "SMTP Server",
                              "<none>");
  };

  QBAddOnProfileNameChange("Old", "New");
  EXPECT_EQ(serverOf("Old"), "<none>");
  EXPECT_EQ(serverOf("New"), "old.example");

  QBAddOnProfileNameChange("New", "");
  QBAddOnProfileNameChange("New", nullptr);
  QBAddOnProfileNameChange("New", "qbnotifyaddon global configuration");
  QBAddOnProfileNameChange("", "Taken");
  QBAddOnProfileNameChange("QBNotifyAddOn Global Configuration", "Taken");
  EXPECT_EQ(serverOf("New"), "old.example");
  EXPECT_EQ(serverOf("Taken"), "<none>");
  EXPECT_EQ(serverOf(nullptr), "global.example");

  QBAddOnProfileDeleted("");
  QBAddOnProfileDeleted(nullptr);
  QBAddOnProfileDeleted("QBNOTIFYADDON GLOBAL CONFIGURATION");
  EXPECT_EQ(serverOf(nullptr), "global.example");
  QBAddOnProfileDeleted("new");
  EXPECT_EQ(serverOf("New"), "<none>");
  EXPECT_EQ(app->ReadRegString(fw::HKeyUsers(), globalKey.c_str(), "SMTP Server", "<none>"), "global.example");
}

TEST_F(AddOnExportsTest, UnloadingWithLiveSessionsSendsNothingAndLeavesNoFiles) {
  StoreSettings(nullptr, 1);
  QBAddOnSessionCreate(Handle(1), "");
  QBAddOnSessionCreate(Handle(2), "");
  QBAddOnConnectionStart(Handle(1), 1, "ftp.example");
  QBAddOnLogResponse(Handle(2), "220");
  EXPECT_EQ(QBAddOnCanUnload(), 1);  // no worker yet

  app->ExitInstance();
  std::vector<Handover> handovers = app->handovers;
  app.reset();
  EXPECT_TRUE(handovers.empty());
  EXPECT_TRUE(ListDirectory(m_strModuleDir + "Data").empty());
}

TEST_F(AddOnExportsTest, TheRealQueueHandsTheJobToAWorkerThatStopsWithTheModule) {
  app->bRealQueue = true;
  QBAddOnSessionCreate(Handle(1), "Unconfigured");
  QBAddOnConnectionStart(Handle(1), 11, "ftp.example");
  QBAddOnSessionDestroy(Handle(1));
  ASSERT_NE(app->m_pMailThread, nullptr);

  // Whether the job already failed (no server configured) or is still queued, the worker's end
  // drops it with its files.
  app->ExitInstance();
  EXPECT_EQ(app->m_pMailThread, nullptr);
  EXPECT_EQ(QBAddOnCanUnload(), 1);
  EXPECT_TRUE(ListDirectory(DataDir()).empty());
}

TEST(CreateDirectoryPathTest, CreatesEachMissingDirectoryAndReportsTheLast) {
  const std::string base = (std::filesystem::temp_directory_path() / "qbnotify-mkdir").string();
  std::filesystem::remove_all(base);
  const char sep = fw::kPathSeparator;
  const std::string nested = base + sep + "one" + sep + "two" + sep;

  EXPECT_TRUE(CreateDirectoryPath(nested.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(base + sep + "one" + sep + "two"));
  EXPECT_FALSE(CreateDirectoryPath(nested.c_str()));  // exists already

  const std::string leaf = base + sep + "one" + sep + "three";
  EXPECT_TRUE(CreateDirectoryPath(leaf.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(leaf));

  std::string tooLong = base + sep + "long" + sep;
  tooLong += std::string(260 - tooLong.size(), 'x');
  EXPECT_FALSE(CreateDirectoryPath(tooLong.c_str()));
  EXPECT_FALSE(std::filesystem::exists(base + sep + "long"));
  EXPECT_FALSE(CreateDirectoryPath(nullptr));

  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace qbtest
