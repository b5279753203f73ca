// The fixture of the add-on tests: a temporary module directory, an isolated registry, fixed
// clocks, and an application object that records each mail hand-over (with the journal files'
// bytes at that moment) instead of starting a delivery.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "addon/NotifyAddOnApp.h"
#include "settings/NotifyConfig.h"
#include "test_support.h"

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
  CNotifyMailThread* CreateMailThread() override {
    return queue == Queue::kNoWorker ? nullptr : CNotifyAddOnApp::CreateMailThread();
  }
};

inline void* Handle(std::uintptr_t value) {
  return reinterpret_cast<void*>(value);
}

// Every field of a record, in order: "server|port|to|from|log lines|notify when|subject".
std::string Describe(const CNotifyConfig& config);
// The login of a record: "security|user|password|certificate[|unreadable]".
std::string DescribeLogin(const CNotifyConfig& config);

class AddOnTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kTime = 1700000000;

  void SetUp() override;
  void TearDown() override;
  // A record for pszProfile (null: the global configuration) given as Describe writes it,
  // optionally followed by the login as "|security|user|password|certificate".
  static CNotifyConfig Parsed(const char* pszProfile, const std::string& strFields);
  static void Store(const char* pszProfile, const std::string& strFields) {
    EXPECT_TRUE(Parsed(pszProfile, strFields).Save()) << strFields;
  }
  // Saves a complete record.
  static void StoreSettings(const char* pszProfile, int nNotifyWhen, const std::string& strServer = "smtp.example") {
    Store(pszProfile, strServer + "|2525|ops@example.com|ftp@example.com|100|" + std::to_string(nNotifyWhen) + "|");
  }
  static CNotifyConfig Loaded(const char* pszProfile) {
    CNotifyConfig config(pszProfile);
    config.Load();
    return config;
  }
  // The key of pszProfile's own settings (null: the global configuration's).
  static std::string KeyOf(const char* pszProfile) { return CNotifyConfig(pszProfile).GetRegistryKey(false); }
  // "SMTP Server" in that key, "-" when there is none.
  std::string ServerIn(const char* pszProfile) const;
  static void SetRaw(const std::string& key, const char* name, std::uint32_t type, const std::string& bytes);
  static std::string StampOf(std::int64_t t);  // date and time text of a journal line
  std::string DataDir() const { return app->m_strDataDir; }

  ScopedRegistry m_registry;
  ScopedClock m_clock{1000, kTime};
  TempDir m_dir;
  const std::string m_strModuleDir = m_dir.Path().string() + fw::kPathSeparator;
  std::unique_ptr<TestApp> app;
};

}  // namespace qbtest
