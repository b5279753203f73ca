// The settings record and its registry store: the key rule, defaults and completeness, the
// fall-back to the global configuration, saving and loading, numbers stored as text, reads
// within their buffers, and moving a key.
#include "addon_test_support.h"
#include "framework/protected_data.h"
#include "journal/NotifySession.h"
#if !defined(_WIN32)
#include "framework/posix/fault_injection.h"
#endif

namespace qbtest {
namespace {

class SettingsTest : public AddOnTest {
 protected:
  const std::string m_strRoot = ".DEFAULT\\Software\\Tarsk Software\\FTP Quorbit Notify\\Configurations\\";
  const std::string m_strGlobal = m_strRoot + "QBNotifyAddOn Global Configuration";
  const std::string m_strOld = m_strRoot + "Old", m_strNew = m_strRoot + "New";

  void Put(const std::string& key, const char* name, const char* value) {
    app->WriteRegString(fw::HKeyUsers(), key.c_str(), name, value);
  }
  std::string Read(const std::string& key, const std::string& name) {
    return app->ReadRegString(fw::HKeyUsers(), key.c_str(), name.c_str(), "-");
  }
};

TEST_F(SettingsTest, KeysDefaultsAndCompleteness) {
  EXPECT_EQ(CNotifyConfig("Site\\Main").GetRegistryKey(false), m_strRoot + "Site\\Main");
  EXPECT_EQ(CNotifyConfig("Main").GetRegistryKey(true), m_strGlobal);
  EXPECT_EQ(CNotifyConfig(nullptr).GetRegistryKey(false), m_strGlobal);
  EXPECT_EQ(Describe(Loaded("Nowhere")), "|25|||100|0|");

  // A record is complete with a server, a port in range, both addresses, a known security and,
  // for a user, a password inside TLS.
  const struct {
    const char* fields;
    bool complete;
  } cases[] = {{"s|1|t|f|100|0||0", true},      {"s|65535|t|f|100|0||2|u|p", true}, {"s|25|t|f|100|0||1|u|p", true},
               {"s|25|t|f|100|0||1", true},     {"s|0|t|f|100|0||0", false},        {"s|-1|t|f|100|0||0", false},
               {"s|65536|t|f|100|0||0", false}, {"|25|t|f|100|0||0", false},        {"s|25||f|100|0||0", false},
               {"s|25|t||100|0||0", false},     {"s|25|t|f|100|0||0|u|p", false},   {"s|25|t|f|100|0||1|u|", false},
               {"s|25|t|f|100|0||3", false},    {"s|25|t|f|100|0||-1", false}};
  for (const auto& c : cases) EXPECT_EQ(Parsed(nullptr, c.fields).IsComplete(), c.complete) << c.fields;
}

TEST_F(SettingsTest, LoginValuesRoundTripWithThePasswordSealedAndInheritLikeTheOthers) {
  CNotifyConfig saved = Parsed(nullptr, "global.example|25|||100|0||1|notify|s3cret \xe4|AB:CD");
  ASSERT_TRUE(saved.Save());
  EXPECT_EQ(DescribeLogin(Loaded(nullptr)), DescribeLogin(saved));
  EXPECT_EQ(DescribeLogin(Loaded("NoServerOfItsOwn")), DescribeLogin(saved));
  Put(m_strRoot + "Own", "SMTP Server", "own.example");
  EXPECT_EQ(DescribeLogin(Loaded("Own")), "0|||");

  // Only sealed bytes are stored, as REG_BINARY.
  std::string sealed;
  ASSERT_TRUE(app->ReadRegBinary(fw::HKeyUsers(), m_strGlobal.c_str(), "SMTP Password", sealed));
  EXPECT_EQ(sealed.find("s3cret"), std::string::npos);

  // A password that does not open is not used; an empty one removes the value.
  SetRaw(m_strGlobal, "SMTP Password", fw::kRegBinary, "not sealed by anyone");
  CNotifyConfig damaged = Loaded(nullptr);
  EXPECT_EQ(DescribeLogin(damaged), "1|notify||AB:CD|unreadable");
  EXPECT_FALSE(damaged.IsComplete());
  saved.m_strSmtpPassword.clear();
  ASSERT_TRUE(saved.Save());
  EXPECT_FALSE(app->ReadRegBinary(fw::HKeyUsers(), m_strGlobal.c_str(), "SMTP Password", sealed));

  saved.m_strSmtpPassword = "again";
  fw::testing::SetDataProtectionFails(true);
  EXPECT_FALSE(saved.Save());
  fw::testing::SetDataProtectionFails(false);
}

TEST_F(SettingsTest, TheGlobalKeyIsReadOverAProfileOnlyWhenItNamesNoServer) {
  Put(m_strGlobal, "SMTP Server", "global.example");
  Put(m_strGlobal, "Subject", "Global subject");
  Put(m_strRoot + "Own", "SMTP Server", "own.example");
  Put(m_strRoot + "Borrowing", "SMTP Server", "");
  Put(m_strRoot + "Borrowing", "Subject", "Own subject");
  Put(m_strRoot + "Borrowing", "From Email", "own@example.com");
  EXPECT_EQ(Describe(Loaded("Own")), "own.example|25|||100|0|");
  EXPECT_EQ(Describe(Loaded("Borrowing")), "global.example|25||own@example.com|100|0|Global subject");
}

TEST_F(SettingsTest, SavedValuesLoadBackFieldByFieldAndALaterLoadNeverClearsThem) {
  const std::string fields = "smtp.example|587|a@example.com; b@example.com|ftp@example.com|0|1|Gr\374\337e";
  Store("Main", fields);
  CNotifyConfig loaded = Loaded("MAIN");
  EXPECT_EQ(Describe(loaded), fields);
  EXPECT_EQ(app->ReadRegDword(fw::HKeyUsers(), KeyOf("Main").c_str(), "SMTP Port", 0), 587u);

  fw::RegKey key;
  key.Open(fw::HKeyUsers(), KeyOf("Main").c_str());
  for (const char* name :
       {"SMTP Server", "SMTP Port", "Deliver to Email", "From Email", "Log Lines", "Notify When", "Subject"}) {
    ASSERT_EQ(fw::RegDeleteValue(key.Get(), name), fw::kErrorSuccess) << name;
  }
  loaded.Load();
  EXPECT_EQ(Describe(loaded), fields);
}

TEST_F(SettingsTest, NumbersStoredAsTextCountAsMissingWhileOtherTypesAreReadAsTheirBytes) {
  for (std::uint32_t type : {fw::kRegSz, fw::kRegExpandSz, fw::kRegMultiSz}) {
    SetRaw(m_strGlobal, "SMTP Port", type, std::string("252\0", 4));
    SetRaw(m_strGlobal, "Log Lines", type, std::string("7\0\0\0", 4));
    SetRaw(m_strGlobal, "Notify When", type, std::string("1\0\0\0", 4));
    EXPECT_EQ(Describe(Loaded(nullptr)), "|25|||100|0|") << "type " << type;
  }
  SetRaw(m_strGlobal, "SMTP Port", fw::kRegBinary, std::string("\xfc\0\0\0", 4));
  SetRaw(m_strGlobal, "Log Lines", fw::kRegBinary, "\x01\x02");    // too short for a number
  SetRaw(m_strGlobal, "Notify When", fw::kRegBinary, "12345678");  // too long
  EXPECT_EQ(Describe(Loaded(nullptr)), "|252|||100|0|");
}

TEST_F(SettingsTest, StringReadsStayWithinWhatTheQueryReturned) {
  Put(m_strOld, "Fits", std::string(2047, 'a').c_str());
  Put(m_strOld, "TooLong", std::string(2048, 'b').c_str());
  SetRaw(m_strOld, "Unterminated", fw::kRegBinary, std::string(2048, 'c'));
  SetRaw(m_strOld, "Embedded", fw::kRegBinary, std::string("ab\0cd", 5));
  EXPECT_EQ(Read(m_strOld, "FITS"), std::string(2047, 'a'));
  EXPECT_EQ(Read(m_strOld, "TooLong"), "-");
  EXPECT_EQ(Read(m_strOld, "Unterminated"), std::string(2048, 'c'));
  EXPECT_EQ(Read(m_strOld, "Embedded") + Read(m_strOld, "Missing") + Read(m_strNew, "Fits"), "ab--");
}

TEST_F(SettingsTest, MoveCopiesEverythingWholeThenDeletesTheOldKey) {
  std::string big(10000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  const std::string longName(600, 'n'), longSubkey(160, 'k');  // Wine refuses longer keys here
  SetRaw(m_strOld, longName.c_str(), fw::kRegBinary, big);
  Put(m_strOld, "Subject", "after the long one");
  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());
  EXPECT_EQ(Read(m_strOld, "Subject") + Read(m_strNew, "Subject"), "-after the long one");
  std::string copied(big.size(), 'x');
  std::uint32_t size = std::uint32_t(copied.size());
  fw::RegKey key;
  key.Open(fw::HKeyUsers(), m_strNew.c_str());
  EXPECT_EQ(fw::RegQueryValue(key.Get(), longName.c_str(), nullptr, copied.data(), &size), fw::kErrorSuccess);
  EXPECT_EQ(copied, big);

  Put(m_strNew + "\\Child\\" + longSubkey, "Deep", "value");
  app->MoveRegistryKey(m_strNew.c_str(), m_strOld.c_str());
  EXPECT_EQ(Read(m_strOld + "\\Child\\" + longSubkey, "Deep"), "value");
}

TEST_F(SettingsTest, MoveNeverOverwritesInventsOrRecursesIntoItself) {
  Put(m_strOld, "Subject", "old");
  Put(m_strNew, "Subject", "new");
  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());
  app->MoveRegistryKey((m_strOld + "2").c_str(), (m_strOld + "3").c_str());
  app->MoveRegistryKey(m_strOld.c_str(), (m_strOld + "\\Inner").c_str());
  app->MoveRegistryKey(m_strOld.c_str(), (m_strRoot + "\\\\old\\\\Inner").c_str());
  EXPECT_EQ(Read(m_strOld, "Subject") + Read(m_strNew, "Subject"), "oldnew");
  EXPECT_EQ(Read(m_strOld + "3", "Subject") + Read(m_strOld + "\\Inner", "Subject"), "--");
#if !defined(_WIN32)
  // A copy that misses a value reports it, so that a move keeps the old key.
  fw::RegKey from, to;
  ASSERT_EQ(from.Open(fw::HKeyUsers(), m_strOld.c_str()) + to.Create(fw::HKeyUsers(), m_strOld.c_str()), 0);
  fw::posix::faults::FailNext(fw::posix::faults::Op::RegistryWrite, fw::kErrorAccessDenied);
  EXPECT_FALSE(app->CopyRegistryTree(from.Get(), to.Get()));
  fw::posix::faults::Reset();
#endif
}

TEST_F(SettingsTest, ASaveThatCannotWriteSaysSoAndStillReloadsTheSessions) {
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
