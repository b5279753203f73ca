// The settings record: defaults, the key rule, the fall-back to the global configuration,
// saving, and the completeness check.
#include "addon_test_support.h"
#include "framework/registry.h"

namespace qbtest {
namespace {

class NotifyConfigTest : public AddOnTest {
 protected:
  const std::string m_strGlobalKey =
      ".DEFAULT\\Software\\Tarsk Software\\FTP Quorbit Notify\\Configurations\\QBNotifyAddOn Global Configuration";
  const std::string m_strMainKey = ".DEFAULT\\Software\\Tarsk Software\\FTP Quorbit Notify\\Configurations\\Main";

  void Put(const std::string& key, const char* name, const char* value) {
    app->WriteRegString(fw::HKeyUsers(), key.c_str(), name, value);
  }
  void Put(const std::string& key, const char* name, std::uint32_t value) {
    app->WriteRegDword(fw::HKeyUsers(), key.c_str(), name, value);
  }
};

TEST_F(NotifyConfigTest, KeysFollowTheProfileName) {
  EXPECT_EQ(CNotifyConfig("Main").GetRegistryKey(false), m_strMainKey);
  EXPECT_EQ(CNotifyConfig("Main").GetRegistryKey(true), m_strGlobalKey);
  EXPECT_EQ(CNotifyConfig("").GetRegistryKey(false), m_strGlobalKey);
  EXPECT_EQ(CNotifyConfig(nullptr).GetRegistryKey(false), m_strGlobalKey);
  EXPECT_EQ(CNotifyConfig("Site\\Mirror").GetRegistryKey(false),
            ".DEFAULT\\Software\\Tarsk Software\\FTP Quorbit Notify\\Configurations\\Site\\Mirror");
}

TEST_F(NotifyConfigTest, AProfileWithoutAnyKeyLoadsTheDefaults) {
  CNotifyConfig config("Nowhere");
  config.Load();
  EXPECT_EQ(config.m_strProfile, "Nowhere");
  EXPECT_EQ(config.m_strSmtpServer, "");
  EXPECT_EQ(config.m_nSmtpPort, 25);
  EXPECT_EQ(config.m_strDeliverTo, "");
  EXPECT_EQ(config.m_strFromEmail, "");
  EXPECT_EQ(config.m_nLogLines, 100);
  EXPECT_EQ(config.m_nNotifyWhen, 0);
  EXPECT_EQ(config.m_strSubject, "");
  EXPECT_FALSE(config.IsComplete());
}

TEST_F(NotifyConfigTest, AProfileWithItsOwnServerIgnoresTheGlobalKey) {
  Put(m_strGlobalKey, "SMTP Server", "global.example");
  Put(m_strGlobalKey, "Subject", "Global subject");
  Put(m_strGlobalKey, "Notify When", 1u);
  Put(m_strMainKey, "SMTP Server", "main.example");
  Put(m_strMainKey, "Log Lines", 7u);

  CNotifyConfig config("Main");
  config.Load();
  EXPECT_EQ(config.m_strSmtpServer, "main.example");
  EXPECT_EQ(config.m_nLogLines, 7);
  EXPECT_EQ(config.m_strSubject, "");
  EXPECT_EQ(config.m_nNotifyWhen, 0);
}

TEST_F(NotifyConfigTest, AProfileWithoutServerIsReadAgainFromTheGlobalKey) {
  Put(m_strGlobalKey, "SMTP Server", "global.example");
  Put(m_strGlobalKey, "Subject", "Global subject");
  Put(m_strMainKey, "SMTP Server", "");
  Put(m_strMainKey, "Subject", "Main subject");
  Put(m_strMainKey, "Log Lines", 7u);

  CNotifyConfig config("Main");
  config.Load();
  EXPECT_EQ(config.m_strSmtpServer, "global.example");
  EXPECT_EQ(config.m_strSubject, "Global subject");  // the global value overrides
  EXPECT_EQ(config.m_nLogLines, 7);                  // missing there: the profile's stays
}

TEST_F(NotifyConfigTest, SavingTheGlobalRecordWritesTheGlobalKeyAndLoadingNeverClears) {
  StoreSettings(nullptr, 1, "global.example");
  EXPECT_EQ(app->ReadRegString(fw::HKeyUsers(), m_strGlobalKey.c_str(), "Subject", "?"), "Transfers");

  CNotifyConfig config;
  config.Load();
  EXPECT_EQ(config.m_strSmtpServer, "global.example");
  EXPECT_EQ(config.m_nSmtpPort, 2525);
  EXPECT_EQ(config.m_strDeliverTo, "ops@example.com");
  EXPECT_EQ(config.m_strFromEmail, "ftp@example.com");
  EXPECT_EQ(config.m_nLogLines, 50);
  EXPECT_EQ(config.m_nNotifyWhen, 1);
  EXPECT_TRUE(config.IsComplete());

  fw::RegKey key;
  ASSERT_EQ(key.Open(fw::HKeyUsers(), m_strGlobalKey.c_str()), fw::kErrorSuccess);
  ASSERT_EQ(fw::RegDeleteValue(key.Get(), "Subject"), fw::kErrorSuccess);
  config.Load();
  EXPECT_EQ(config.m_strSubject, "Transfers");
}

TEST_F(NotifyConfigTest, CompletenessNeedsServerValidPortRecipientAndSender) {
  CNotifyConfig config("Main");
  config.m_strSmtpServer = "smtp.example";
  config.m_strDeliverTo = "to@example.com";
  config.m_strFromEmail = "from@example.com";
  for (int port : {1, 25, 65535}) {
    config.m_nSmtpPort = port;
    EXPECT_TRUE(config.IsComplete()) << port;
  }
  for (int port : {0, -1, 65536}) {
    config.m_nSmtpPort = port;
    EXPECT_FALSE(config.IsComplete()) << port;
  }
  config.m_nSmtpPort = 25;
  config.m_strFromEmail.clear();
  EXPECT_FALSE(config.IsComplete());
}

}  // namespace
}  // namespace qbtest
