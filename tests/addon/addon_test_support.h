// Shared fixture of the add-on tests: a temporary module directory, an isolated registry, fixed
// clocks, and an application object that records each mail hand-over with the journal files'
// bytes at that moment instead of starting a delivery.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "addon/NotifyAddOnApp.h"
#include "settings/NotifyConfig.h"

namespace qbtest {

// One call of QueueMail as the worker would have received it.
struct Handover {
  CNotifyConfig config;
  std::string infoFile;
  std::string logFile;
  int nLogLineCount = 0;
  std::string infoBytes;  // the files' contents at the hand-over
  std::string logBytes;
};

class TestApp : public CNotifyAddOnApp {
 public:
  // Records the job and deletes its files as the job would; with bRealQueue the real worker
  // takes it.
  bool QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                 int nLogLineCount) override;

  bool bRealQueue = false;
  std::vector<Handover> handovers;
};

// The file's bytes, or an empty string when it cannot be read.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Names of the entries of a directory (empty when it does not exist).
std::vector<std::string> ListDirectory(const std::string& dir);

// Deletes a key below `root` with all of its subkeys.
void DeleteRegistryTree(fw::HKEY root, const std::string& key);

class AddOnTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kTime = 1700000000;  // a fixed moment of the calendar clock

  void SetUp() override;
  void TearDown() override;

  // Writes a complete record for pszProfile (null: the global configuration) with Save.
  void StoreSettings(const char* pszProfile, int nNotifyWhen, const char* pszServer = "smtp.example");
  // The date and time text that journal lines carry for time t.
  static std::string StampOf(std::int64_t t);
  std::string DataDir() const { return app->m_strDataDir; }

  std::string m_strModuleDir;  // ends with the path separator
  std::uint32_t m_nTick = 1000;
  std::int64_t m_nTime = kTime;
  std::unique_ptr<TestApp> app;
};

}  // namespace qbtest
