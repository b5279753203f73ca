// The settings record: the key rule, defaults, the fall-back to the global configuration,
// saving, and the completeness check.
#include "addon_test_support.h"
#include "journal/NotifySession.h"

namespace qbtest {
namespace {

class NotifyConfigTest : public AddOnTest {
 protected:
  const std::string m_strRoot = ".DEFAULT\\Software\\Tarsk Software\\FTP Quorbit Notify\\Configurations\\";
  const std::string m_strGlobal = m_strRoot + "QBNotifyAddOn Global Configuration";

  void Put(const std::string& key, const char* name, const char* value) {
    app->WriteRegString(fw::HKeyUsers(), key.c_str(), name, value);
  }
  static CNotifyConfig Loaded(const char* profile) {
    CNotifyConfig config(profile);
    config.Load();
    return config;
  }
};

TEST_F(NotifyConfigTest, KeysDefaultsAndCompleteness) {
  EXPECT_EQ(CNotifyConfig("Site\\Main").GetRegistryKey(false), m_strRoot + "Site\\Main");
  EXPECT_EQ(CNotifyConfig("Main").GetRegistryKey(true), m_strGlobal);
  EXPECT_EQ(CNotifyConfig(nullptr).GetRegistryKey(false), m_strGlobal);

  CNotifyConfig config = Loaded("Nowhere");
  EXPECT_EQ(config.m_strSmtpServer + config.m_strDeliverTo + config.m_strFromEmail + config.m_strSubject, "");
  EXPECT_EQ(config.m_nSmtpPort + config.m_nLogLines + config.m_nNotifyWhen, 125);
  EXPECT_FALSE(config.IsComplete());
  config.m_strSmtpServer = config.m_strDeliverTo = config.m_strFromEmail = "x";
  for (int port : {1, 65535, 0, -1, 65536}) {
    config.m_nSmtpPort = port;
    EXPECT_EQ(config.IsComplete(), port >= 1 && port <= 65535) << port;
  }
}

TEST_F(NotifyConfigTest, TheGlobalKeyIsReadOverAProfileOnlyWhenItNamesNoServer) {
  Put(m_strGlobal, "SMTP Server", "global.example");
  Put(m_strGlobal, "Subject", "Global subject");
  Put(m_strRoot + "Own", "SMTP Server", "own.example");
  Put(m_strRoot + "Borrowing", "SMTP Server", "");
  Put(m_strRoot + "Borrowing", "Subject", "Own subject");
  Put(m_strRoot + "Borrowing", "From Email", "own@example.com");
  const CNotifyConfig own = Loaded("Own"), borrowing = Loaded("Borrowing");
  EXPECT_EQ(own.m_strSmtpServer + "|" + own.m_strSubject, "own.example|");
  EXPECT_EQ(borrowing.m_strSmtpServer + "|" + borrowing.m_strSubject + "|" + borrowing.m_strFromEmail,
            "global.example|Global subject|own@example.com");
}

TEST_F(NotifyConfigTest, SavedValuesLoadBackAndALaterLoadNeverClearsThem) {
  StoreSettings(nullptr, 1, "global.example");
  CNotifyConfig config = Loaded(nullptr);
  EXPECT_EQ(config.m_strSmtpServer + config.m_strDeliverTo, "global.exampleops@example.com");
  EXPECT_EQ(config.m_nSmtpPort, 2525);
  EXPECT_EQ(config.m_nNotifyWhen, 1);
  fw::RegKey key;
  key.Open(fw::HKeyUsers(), m_strGlobal.c_str());
  ASSERT_EQ(fw::RegDeleteValue(key.Get(), "SMTP Port"), fw::kErrorSuccess);
  config.Load();
  EXPECT_EQ(config.m_nSmtpPort, 2525);
}

TEST_F(NotifyConfigTest, ASaveThatCannotWriteSaysSoAndStillReloadsTheSessions) {
  const std::string unwritable(300, 'p');  // longer than a key name may be
  CNotifySession* session = app->CreateSession(Handle(1), unwritable.c_str());
  ASSERT_NE(session, nullptr);
  Put(m_strGlobal, "SMTP Server", "after.example");
  CNotifyConfig config(unwritable.c_str());
  config.m_strSmtpServer = "own.example";
  EXPECT_FALSE(config.Save());
  EXPECT_EQ(session->GetConfig().m_strSmtpServer, "after.example");
  EXPECT_TRUE(Loaded(nullptr).Save());
}

}  // namespace
}  // namespace qbtest
