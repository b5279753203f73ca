// The fixture of the add-on tests (see addon_test_support.h).
#include "addon_test_support.h"

#include <sstream>

#include "framework/clock.h"
#include "framework/filesystem.h"

namespace qbtest {
namespace {

// Under Wine the tests share the prefix's registry: each starts and ends without add-on keys.
void ClearAddOnRegistry() {
  const std::string root = CNotifyRegistry::GetRegistryPath("");
  DeleteKeyTree(fw::HKeyUsers(), root.substr(0, root.size() - 1));
  fw::RegDeleteKey(fw::HKeyUsers(), root.substr(0, root.rfind('\\', root.size() - 2)).c_str());  // when empty
}

}  // namespace

bool TestApp::QueueMail(const CNotifyConfig* pConfig, const char* pszInfoFile, const char* pszLogFile,
                        int nLogLineCount) {
  if (queue != Queue::kRecord) return CNotifyAddOnApp::QueueMail(pConfig, pszInfoFile, pszLogFile, nLogLineCount);
  handovers.push_back(
      {*pConfig, pszInfoFile, pszLogFile, nLogLineCount, ReadBytes(pszInfoFile), ReadBytes(pszLogFile)});
  fw::DeleteFile(pszInfoFile);
  fw::DeleteFile(pszLogFile);
  return true;
}

std::string Describe(const CNotifyConfig& c) {
  return c.m_strSmtpServer + '|' + std::to_string(c.m_nSmtpPort) + '|' + c.m_strDeliverTo + '|' + c.m_strFromEmail +
         '|' + std::to_string(c.m_nLogLines) + '|' + std::to_string(c.m_nNotifyWhen) + '|' + c.m_strSubject;
}

std::string DescribeLogin(const CNotifyConfig& c) {
  return std::to_string(c.m_nSmtpSecurity) + '|' + c.m_strSmtpUser + '|' + c.m_strSmtpPassword + '|' +
         c.m_strSmtpCertificate + (c.m_bPasswordUnreadable ? "|unreadable" : "");
}

void AddOnTest::SetUp() {
  ClearAddOnRegistry();
  app = std::make_unique<TestApp>();
  app->SetModuleFilePath(m_strModuleDir + "QBNotifyAddOn" + fw::kModuleExtension);
  ASSERT_TRUE(app->InitInstance());
}

void AddOnTest::TearDown() {
  if (app) app->ExitInstance();
  app.reset();
  ClearAddOnRegistry();
}

CNotifyConfig AddOnTest::Parsed(const char* pszProfile, const std::string& strFields) {
  std::vector<std::string> fields;
  std::stringstream stream(strFields);
  for (std::string field; std::getline(stream, field, '|');) fields.push_back(field);
  fields.resize(11);
  CNotifyConfig config(pszProfile);
  config.m_strSmtpServer = fields[0];
  config.m_nSmtpPort = std::stoi(fields[1]);
  config.m_strDeliverTo = fields[2];
  config.m_strFromEmail = fields[3];
  config.m_nLogLines = std::stoi(fields[4]);
  config.m_nNotifyWhen = std::stoi(fields[5]);
  config.m_strSubject = fields[6];
  config.m_nSmtpSecurity = fields[7].empty() ? 0 : std::stoi(fields[7]);
  config.m_strSmtpUser = fields[8];
  config.m_strSmtpPassword = fields[9];
  config.m_strSmtpCertificate = fields[10];
  return config;
}

std::string AddOnTest::ServerIn(const char* pszProfile) const {
  return app->ReadRegString(fw::HKeyUsers(), KeyOf(pszProfile).c_str(), "SMTP Server", "-");
}

void AddOnTest::SetRaw(const std::string& key, const char* name, std::uint32_t type, const std::string& bytes) {
  fw::RegKey open;
  ASSERT_EQ(open.Create(fw::HKeyUsers(), key.c_str()), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegSetValue(open.Get(), name, type, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
            fw::kErrorSuccess);
}

std::string AddOnTest::StampOf(std::int64_t t) {
  fw::CalendarTime local;
  EXPECT_TRUE(fw::ToLocalTime(t, local));
  return fw::FormatShortDate(local) + ' ' + fw::FormatTimeOfDay(local, true);
}

}  // namespace qbtest
