// Shared fixture of the add-on tests: a temporary module directory, an isolated registry, fixed
// clocks, and an application object that records each mail hand-over (with the journal files'
// bytes at that moment) instead of starting a delivery.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "addon/NotifyAddOnApp.h"
#include "settings/NotifyConfig.h"

namespace qbtest {

struct Handover {
  CNotifyConfig config;
  std::string infoFile, logFile;
  int nLogLineCount;
  std::string infoBytes, logBytes;
};

class TestApp : public CNotifyAddOnApp {
 public:
  enum class Queue { kRecord, kRealWorker, kNoWorker } queue = Queue::kRecord;
  std::vector<Handover> handovers;

  bool QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                 int nLogLineCount) override;
  CNotifyMailThread* CreateMailThread() override;
};

std::string ReadFileBytes(const std::string& path);
std::vector<std::string> ListDirectory(const std::string& dir);
void DeleteRegistryTree(const std::string& key);  // below HKEY_USERS
inline void* Handle(std::uintptr_t value) {
  return reinterpret_cast<void*>(value);
}

class AddOnTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kTime = 1700000000;

  void SetUp() override;
  void TearDown() override;
  // Saves a complete record for pszProfile (null: the global configuration).
  void StoreSettings(const char* pszProfile, int nNotifyWhen, const char* pszServer = "smtp.example");
  static std::string StampOf(std::int64_t t);  // date and time text of a journal line
  std::string DataDir() const { return app->m_strDataDir; }

  std::string m_strModuleDir;  // ends with the path separator
  std::uint32_t m_nTick = 1000;
  std::int64_t m_nTime = kTime;
  std::unique_ptr<TestApp> app;
};

}  // namespace qbtest
