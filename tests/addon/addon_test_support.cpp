// The shared fixture of the add-on tests (see addon_test_support.h).
#include "addon_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "framework/app.h"
#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/registry.h"
#include "framework/test_seams.h"

namespace qbtest {

namespace {

const std::string& AddOnRegistryRoot() {
  static const std::string root = CNotifyRegistry::GetRegistryPath("");
  return root;
}

std::string WithoutTrailingSeparator(std::string key) {
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

// Removes every key the add-on keeps (Wine shares one registry between test processes).
void ClearAddOnRegistry() {
  const std::string root = WithoutTrailingSeparator(AddOnRegistryRoot());
  DeleteRegistryTree(fw::HKeyUsers(), root);
  fw::RegDeleteKey(fw::HKeyUsers(), root.substr(0, root.rfind('\\')).c_str());  // only when empty
}

}  // namespace

bool TestApp::QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                        int nLogLineCount) {
  if (bRealQueue) return CNotifyAddOnApp::QueueMail(pConfig, pszInfoFile, pszLogFile, nLogLineCount);
  Handover handover{*pConfig, pszInfoFile, pszLogFile, nLogLineCount, ReadFileBytes(pszInfoFile),
                    ReadFileBytes(pszLogFile)};
  handovers.push_back(std::move(handover));
  fw::DeleteFile(pszInfoFile);
  fw::DeleteFile(pszLogFile);
  return true;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool FileExists(const std::string& path) { return fw::PathExists(path); }

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

void DeleteRegistryTree(fw::HKEY root, const std::string& key) {
  {
    fw::RegKey open;
    if (open.Open(root, key.c_str()) != fw::kErrorSuccess) return;
    std::vector<std::string> subkeys;
    char name[1024];
    for (std::uint32_t index = 0; fw::RegEnumKey(open.Get(), index, name, sizeof name) == fw::kErrorSuccess; ++index) {
      subkeys.emplace_back(name);
    }
    for (const std::string& subkey : subkeys) DeleteRegistryTree(root, key + "\\" + subkey);
  }
  fw::RegDeleteKey(root, key.c_str());
}

void AddOnTest::SetUp() {
  std::random_device random;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qbnotify-addon-" + std::to_string(random()));
  std::filesystem::create_directories(dir);
  m_strModuleDir = dir.string() + fw::kPathSeparator;

#if !defined(_WIN32)
  // Each test has a registry of its own.
  setenv("QBNOTIFY_REGISTRY", (m_strModuleDir + "registry.sqlite3").c_str(), 1);
#endif
  ClearAddOnRegistry();

  fw::testing::SetTickCountSource([this] { return m_nTick; });
  fw::testing::SetTimeSource([this] { return m_nTime; });

  app = std::make_unique<TestApp>();
  ASSERT_EQ(CNotifyAddOnApp::Get(), app.get());
  app->SetModuleFilePath(m_strModuleDir + "QBNotifyAddOn" + fw::kModuleExtension);
  ASSERT_TRUE(app->InitInstance());
}

void AddOnTest::TearDown() {
  if (app) {
    app->ExitInstance();
    app.reset();
  }
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
  config.m_nLogLines = 50;
  config.m_nNotifyWhen = nNotifyWhen;
  config.m_strSubject = "Transfers";
  config.Save();
}

std::string AddOnTest::StampOf(std::int64_t t) {
  fw::CalendarTime local;
  if (!fw::ToLocalTime(t, local)) return " ";
  return fw::FormatShortDate(local) + ' ' + fw::FormatTimeOfDay(local, true);
}

}  // namespace qbtest
