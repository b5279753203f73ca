// The shared fixture of the add-on tests (see addon_test_support.h).
#include "addon_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "framework/app.h"
#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/test_seams.h"

namespace qbtest {

bool TestApp::QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                        int nLogLineCount) {
  if (queue != Queue::kRecord) return CNotifyAddOnApp::QueueMail(pConfig, pszInfoFile, pszLogFile, nLogLineCount);
  handovers.push_back(
      {*pConfig, pszInfoFile, pszLogFile, nLogLineCount, ReadFileBytes(pszInfoFile), ReadFileBytes(pszLogFile)});
  fw::DeleteFile(pszInfoFile);
  fw::DeleteFile(pszLogFile);
  return true;
}

CNotifyMailThread* TestApp::CreateMailThread() {
  return queue == Queue::kNoWorker ? nullptr : CNotifyAddOnApp::CreateMailThread();
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

void DeleteRegistryTree(const std::string& key) {
  std::vector<std::string> subkeys;
  fw::RegKey open;
  if (open.Open(fw::HKeyUsers(), key.c_str()) != fw::kErrorSuccess) return;
  char name[1024];
  for (std::uint32_t i = 0; fw::RegEnumKey(open.Get(), i, name, sizeof name) == fw::kErrorSuccess; ++i) {
    subkeys.emplace_back(name);
  }
  open.Close();
  for (const std::string& subkey : subkeys) DeleteRegistryTree(key + "\\" + subkey);
  fw::RegDeleteKey(fw::HKeyUsers(), key.c_str());
}

// Under Wine the tests share the prefix's registry: each starts and ends without add-on keys.
static void ClearAddOnRegistry() {
  const std::string root = CNotifyRegistry::GetRegistryPath("");
  DeleteRegistryTree(root.substr(0, root.size() - 1));
  fw::RegDeleteKey(fw::HKeyUsers(), root.substr(0, root.rfind('\\', root.size() - 2)).c_str());  // when empty
}

void AddOnTest::SetUp() {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qbnotify-addon-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(dir);
  m_strModuleDir = dir.string() + fw::kPathSeparator;
#if !defined(_WIN32)
  setenv("QBNOTIFY_REGISTRY", (m_strModuleDir + "registry.sqlite3").c_str(), 1);
#endif
  ClearAddOnRegistry();
  fw::testing::SetTickCountSource([this] { return m_nTick; });
  fw::testing::SetTimeSource([this] { return m_nTime; });
  app = std::make_unique<TestApp>();
  app->SetModuleFilePath(m_strModuleDir + "QBNotifyAddOn" + fw::kModuleExtension);
  ASSERT_TRUE(app->InitInstance());
}

void AddOnTest::TearDown() {
  if (app) app->ExitInstance();
  app.reset();
  fw::testing::SetTickCountSource(nullptr);
  fw::testing::SetTimeSource(nullptr);
  ClearAddOnRegistry();
  std::error_code error;
  std::filesystem::remove_all(std::filesystem::path(m_strModuleDir), error);
}

void AddOnTest::StoreSettings(const char* pszProfile, int nNotifyWhen, const char* pszServer) {
  CNotifyConfig config(pszProfile);
  config.m_strSmtpServer = pszServer;
  config.m_nSmtpPort = 2525;
  config.m_strDeliverTo = "ops@example.com";
  config.m_strFromEmail = "ftp@example.com";
  config.m_nNotifyWhen = nNotifyWhen;
  config.Save();
}

std::string AddOnTest::StampOf(std::int64_t t) {
  fw::CalendarTime local;
  EXPECT_TRUE(fw::ToLocalTime(t, local));
  return fw::FormatShortDate(local) + ' ' + fw::FormatTimeOfDay(local, true);
}

}  // namespace qbtest
