// The registry store: values with their defaults and size limits, and moving a key.
#include "addon_test_support.h"
#if !defined(_WIN32)
#include "framework/posix/fault_injection.h"
#endif

namespace qbtest {
namespace {

class RegistryStoreTest : public AddOnTest {
 protected:
  const std::string m_strOld = CNotifyRegistry::GetRegistryPath("Configurations\\Old");
  const std::string m_strNew = CNotifyRegistry::GetRegistryPath("Configurations\\New");

  void SetRaw(const std::string& key, const std::string& name, const std::string& bytes) {
    fw::RegKey open;
    ASSERT_EQ(open.Create(fw::HKeyUsers(), key.c_str()), fw::kErrorSuccess);
    fw::RegSetValue(open.Get(), name.c_str(), fw::kRegBinary, bytes.data(), std::uint32_t(bytes.size()));
  }
  std::string Read(const std::string& key, const std::string& name) {
    return app->ReadRegString(fw::HKeyUsers(), key.c_str(), name.c_str(), "-");
  }
  std::uint32_t ReadNumber(const char* name) { return app->ReadRegDword(fw::HKeyUsers(), m_strOld.c_str(), name, 9); }
};

TEST_F(RegistryStoreTest, ReadsStayWithinWhatTheQueryReturned) {
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "Fits", std::string(2047, 'a').c_str());
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "TooLong", std::string(2048, 'b').c_str());
  SetRaw(m_strOld, "Unterminated", std::string(2048, 'c'));
  SetRaw(m_strOld, "Embedded", std::string("ab\0cd", 5));
  EXPECT_EQ(Read(m_strOld, "FITS"), std::string(2047, 'a'));
  EXPECT_EQ(Read(m_strOld, "TooLong"), "-");
  EXPECT_EQ(Read(m_strOld, "Unterminated"), std::string(2048, 'c'));
  EXPECT_EQ(Read(m_strOld, "Embedded") + Read(m_strOld, "Missing") + Read(m_strNew, "Fits"), "ab--");

  app->WriteRegDword(fw::HKeyUsers(), m_strOld.c_str(), "Number", 0xDEADBEEF);
  SetRaw(m_strOld, "Short", "\x01\x02");
  SetRaw(m_strOld, "Long", "12345678");
  EXPECT_EQ(ReadNumber("Number"), 0xDEADBEEFu);
  EXPECT_EQ(ReadNumber("Short") + ReadNumber("Long"), 18u);
}

TEST_F(RegistryStoreTest, MoveCopiesEverythingWholeThenDeletesTheOldKey) {
  std::string big(10000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  const std::string longName(600, 'n'), longSubkey(160, 'k');  // Wine refuses longer keys here
  SetRaw(m_strOld, longName, big);
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "Subject", "after the long one");
  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());
  EXPECT_EQ(Read(m_strOld, "Subject") + Read(m_strNew, "Subject"), "-after the long one");
  std::string copied(big.size(), 'x');
  std::uint32_t size = std::uint32_t(copied.size());
  fw::RegKey key;
  key.Open(fw::HKeyUsers(), m_strNew.c_str());
  EXPECT_EQ(fw::RegQueryValue(key.Get(), longName.c_str(), nullptr, copied.data(), &size), fw::kErrorSuccess);
  EXPECT_EQ(copied, big);

  app->WriteRegString(fw::HKeyUsers(), (m_strNew + "\\Child\\" + longSubkey).c_str(), "Deep", "value");
  app->MoveRegistryKey(m_strNew.c_str(), m_strOld.c_str());
  EXPECT_EQ(Read(m_strOld + "\\Child\\" + longSubkey, "Deep"), "value");
}

TEST_F(RegistryStoreTest, MoveNeverOverwritesInventsOrRecursesIntoItself) {
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "Subject", "old");
  app->WriteRegString(fw::HKeyUsers(), m_strNew.c_str(), "Subject", "new");
  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());
  app->MoveRegistryKey((m_strOld + "2").c_str(), (m_strOld + "3").c_str());
  app->MoveRegistryKey(m_strOld.c_str(), (m_strOld + "\\Inner").c_str());
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

}  // namespace
}  // namespace qbtest
