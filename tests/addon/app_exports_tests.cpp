// The exports and the application object: module paths, the session registry by handle,
// settings reloads, profile keys, the hand-over to the worker and the module's end; the built
// module as a host loads it; and directory creation.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "addon/exports.h"
#include "addon_test_support.h"
#include "framework/app.h"
#include "framework/module_loader.h"
#include "journal/NotifySession.h"

namespace qbtest {
namespace {

const std::string kAddOnName = "FTP Quorbit\xae Notify Add-On von ";

using AddOnExportsTest = AddOnTest;

TEST_F(AddOnExportsTest, PathsAndName) {
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

TEST_F(AddOnExportsTest, ProfileRenamesAndDeletionsNeverTouchTheGlobalConfiguration) {
  StoreSettings(nullptr, 1, "global.example");
  StoreSettings("Old", 1, "old.example");
  const auto servers = [&](std::initializer_list<const char*> profiles) {
    std::string result;
    for (const char* profile : profiles) {
      const std::string key = CNotifyConfig(profile).GetRegistryKey(false);
      result += app->ReadRegString(fw::HKeyUsers(), key.c_str(), "SMTP Server", "-") + "|";
    }
    return result;
  };
  QBAddOnProfileNameChange("Old", "New");
  EXPECT_EQ(servers({"Old", "New"}), "-|old.example|");
  QBAddOnProfileNameChange("New", nullptr);
  QBAddOnProfileNameChange("New", "qbnotifyaddon global configuration");
  QBAddOnProfileNameChange("", "Taken");
  QBAddOnProfileDeleted(nullptr);
  QBAddOnProfileDeleted("");
  QBAddOnProfileDeleted("QBNotifyAddOn Global Configuration");
  EXPECT_EQ(servers({nullptr, "New", "Taken"}), "global.example|old.example|-|");
  QBAddOnProfileDeleted("new");
  EXPECT_EQ(servers({"New"}), "-|");
}

TEST_F(AddOnExportsTest, NoJournalFileOutlivesTheModuleOrAFailedHandOver) {
  StoreSettings(nullptr, 1);
  app->queue = TestApp::Queue::kNoWorker;
  QBAddOnSessionCreate(Handle(1), nullptr);
  QBAddOnConnectionStart(Handle(1), 1, "ftp.example");
  QBAddOnSessionDestroy(Handle(1));
  EXPECT_EQ(app->m_pMailThread, nullptr);
  EXPECT_TRUE(ListDirectory(DataDir()).empty());

  QBAddOnSessionCreate(Handle(1), "");  // live sessions when the module goes
  QBAddOnConnectionStart(Handle(1), 1, "ftp.example");
  QBAddOnSessionCreate(Handle(2), "");
  EXPECT_EQ(QBAddOnCanUnload(), 1);
  app.reset();
  EXPECT_TRUE(ListDirectory(m_strModuleDir + "Data").empty());
}

TEST_F(AddOnExportsTest, TheRealQueueHandsTheJobToAWorkerThatStopsWithTheModule) {
  app->queue = TestApp::Queue::kRealWorker;
  QBAddOnSessionCreate(Handle(1), "Unconfigured");
  QBAddOnConnectionStart(Handle(1), 11, "ftp.example");
  QBAddOnSessionDestroy(Handle(1));
  ASSERT_NE(app->m_pMailThread, nullptr);
  app->ExitInstance();  // the job failed already (no server) or is still queued: it goes with its files
  EXPECT_EQ(app->m_pMailThread, nullptr);
  EXPECT_EQ(QBAddOnCanUnload(), 1);
  EXPECT_TRUE(ListDirectory(DataDir()).empty());
}

TEST_F(AddOnExportsTest, TheBuiltModuleLoadsRunsASessionAndUnloads) {
  std::string path = QB_TEST_MODULE_PATH;
#if defined(_WIN32)
  std::replace(path.begin(), path.end(), '/', '\\');
  path = "Z:" + path;  // the build tree as Wine sees it
#endif
  fw::LoadedModule module;
  std::string error;
  ASSERT_TRUE(module.Load(path, error)) << error;
  const auto find = [&](auto export_, const char* name) {
    return reinterpret_cast<decltype(export_)>(module.GetProc(name));
  };
  const auto name = find(&QBAddOnName, "QBAddOnName");
  const auto create = find(&QBAddOnSessionCreate, "QBAddOnSessionCreate");
  const auto log = find(&QBAddOnLogResponse, "QBAddOnLogResponse");
  const auto destroy = find(&QBAddOnSessionDestroy, "QBAddOnSessionDestroy");
  ASSERT_TRUE(name && create && log && destroy && module.GetProc("QBAddOnCanUnload"));
  char buffer[128];
  name(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer).rfind(kAddOnName, 0), 0u);

  const std::string dataDir = (std::filesystem::path(path).parent_path() / "Data").string();
  const auto sessionFiles = [&] {  // other tests may share the module's directory
    const std::vector<std::string> names = ListDirectory(dataDir);
    return std::count_if(names.begin(), names.end(), [](const std::string& file) {
      return file.rfind("Log_24301_", 0) == 0 || file.rfind("Information_24301_", 0) == 0;
    });
  };
  create(Handle(24301), "Module test");
  log(Handle(24301), "220 ready");
  EXPECT_EQ(sessionFiles(), 2);
  destroy(Handle(24301));
  EXPECT_EQ(sessionFiles(), 0);
  module.Unload();
  std::error_code ignored;
  std::filesystem::remove(dataDir, ignored);  // only when empty
}

TEST(CreateDirectoryPathTest, CreatesEachMissingDirectoryAndReportsTheLast) {
  const std::string base = (std::filesystem::temp_directory_path() / "qbnotify-mkdir").string();
  std::filesystem::remove_all(base);
  const char sep = fw::kPathSeparator;
  const std::string nested = base + sep + "one" + sep + "two" + sep;
  EXPECT_TRUE(CreateDirectoryPath(nested.c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  EXPECT_FALSE(CreateDirectoryPath(nested.c_str()));
  EXPECT_TRUE(CreateDirectoryPath((base + sep + "three").c_str()));
  std::string tooLong = base + sep + "long" + sep;
  tooLong.resize(260, 'x');
  EXPECT_FALSE(CreateDirectoryPath(tooLong.c_str()));
  EXPECT_FALSE(std::filesystem::exists(base + sep + "long"));
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace qbtest
