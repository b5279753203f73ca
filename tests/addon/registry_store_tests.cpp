// The registry store: single values with their defaults and size limits, and moving a key
// with its values and subkeys.
#include <cstring>
#include <string>

#include "addon_test_support.h"
#include "framework/registry.h"
#if !defined(_WIN32)
#include "framework/posix/fault_injection.h"
#endif

namespace qbtest {
namespace {

class RegistryStoreTest : public AddOnTest {
 protected:
  const std::string m_strKey = CNotifyRegistry::GetRegistryPath("Configurations\\Store");

  void SetRaw(const std::string& key, const char* name, std::uint32_t type, const void* data, std::uint32_t size) {
    fw::RegKey open;
    ASSERT_EQ(open.Create(fw::HKeyUsers(), key.c_str()), fw::kErrorSuccess);
    ASSERT_EQ(fw::RegSetValue(open.Get(), name, type, data, size), fw::kErrorSuccess);
  }
  bool KeyExists(const std::string& key) {
    fw::RegKey open;
    return open.Open(fw::HKeyUsers(), key.c_str()) == fw::kErrorSuccess;
  }
  std::string ReadString(const std::string& key, const char* name) {
    return app->ReadRegString(fw::HKeyUsers(), key.c_str(), name, "<default>");
  }
};

TEST_F(RegistryStoreTest, ValuesRoundTripAndMissingOnesGiveTheDefault) {
  app->WriteRegString(fw::HKeyUsers(), m_strKey.c_str(), "Text", "Gr\xfc\xdf" "e");
  app->WriteRegDword(fw::HKeyUsers(), m_strKey.c_str(), "Number", 0xDEADBEEF);

  EXPECT_EQ(ReadString(m_strKey, "TEXT"), "Gr\xfc\xdf" "e");  // names ignore case
  EXPECT_EQ(app->ReadRegDword(fw::HKeyUsers(), m_strKey.c_str(), "number", 7), 0xDEADBEEFu);
  EXPECT_EQ(ReadString(m_strKey, "Missing"), "<default>");
  EXPECT_EQ(ReadString(m_strKey + "\\Nowhere", "Text"), "<default>");
  EXPECT_EQ(app->ReadRegDword(fw::HKeyUsers(), (m_strKey + "\\Nowhere").c_str(), "Number", 7), 7u);
  EXPECT_EQ(app->ReadRegString(fw::HKeyUsers(), m_strKey.c_str(), "Missing", nullptr), "");

  // A string is stored with its terminator, a number as 4 little-endian bytes.
  fw::RegKey open;
  ASSERT_EQ(open.Open(fw::HKeyUsers(), m_strKey.c_str()), fw::kErrorSuccess);
  unsigned char data[16];
  std::uint32_t type = 0;
  std::uint32_t size = sizeof data;
  ASSERT_EQ(fw::RegQueryValue(open.Get(), "Text", &type, data, &size), fw::kErrorSuccess);
  EXPECT_EQ(type, fw::kRegSz);
  EXPECT_EQ(size, 6u);
  size = sizeof data;
  ASSERT_EQ(fw::RegQueryValue(open.Get(), "Number", &type, data, &size), fw::kErrorSuccess);
  EXPECT_EQ(type, fw::kRegDword);
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(data[0], 0xEF);
  EXPECT_EQ(data[3], 0xDE);
}

TEST_F(RegistryStoreTest, StringsAreReadWithinTheirBufferOnly) {
  const std::string fits(2047, 'a');
  app->WriteRegString(fw::HKeyUsers(), m_strKey.c_str(), "Fits", fits.c_str());
  EXPECT_EQ(ReadString(m_strKey, "Fits"), fits);

  const std::string tooLong(2048, 'b');
  app->WriteRegString(fw::HKeyUsers(), m_strKey.c_str(), "TooLong", tooLong.c_str());
  EXPECT_EQ(ReadString(m_strKey, "TooLong"), "<default>");

  // 2048 bytes without a terminator: exactly those bytes, nothing from beyond the buffer.
  const std::string unterminated(2048, 'c');
  SetRaw(m_strKey, "Unterminated", fw::kRegBinary, unterminated.data(), 2048);
  EXPECT_EQ(ReadString(m_strKey, "Unterminated"), unterminated);

  const char embedded[] = "ab\0cd";
  SetRaw(m_strKey, "Embedded", fw::kRegBinary, embedded, sizeof embedded);
  EXPECT_EQ(ReadString(m_strKey, "Embedded"), "ab");
}

TEST_F(RegistryStoreTest, NumbersNeedExactlyFourBytes) {
  const unsigned char shortValue[2] = {1, 2};
  const unsigned char longValue[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const unsigned char binary[4] = {4, 3, 2, 1};
  SetRaw(m_strKey, "Short", fw::kRegBinary, shortValue, sizeof shortValue);
  SetRaw(m_strKey, "Long", fw::kRegBinary, longValue, sizeof longValue);
  SetRaw(m_strKey, "Binary", fw::kRegBinary, binary, sizeof binary);
  EXPECT_EQ(app->ReadRegDword(fw::HKeyUsers(), m_strKey.c_str(), "Short", 99), 99u);
  EXPECT_EQ(app->ReadRegDword(fw::HKeyUsers(), m_strKey.c_str(), "Long", 99), 99u);
  EXPECT_EQ(app->ReadRegDword(fw::HKeyUsers(), m_strKey.c_str(), "Binary", 99), 0x01020304u);
}

class RegistryMoveTest : public RegistryStoreTest {
 protected:
  const std::string m_strOld = CNotifyRegistry::GetRegistryPath("Configurations\\Old");
  const std::string m_strNew = CNotifyRegistry::GetRegistryPath("Configurations\\New");
};

TEST_F(RegistryMoveTest, MovesEveryValueWholeAndDeletesTheOldKey) {
  const std::string longName(600, 'n');
  std::string bigData(10000, '\0');
  for (std::size_t i = 0; i < bigData.size(); ++i) bigData[i] = static_cast<char>(i * 7);
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "SMTP Server", "mail.example");
  app->WriteRegDword(fw::HKeyUsers(), m_strOld.c_str(), "SMTP Port", 587);
  SetRaw(m_strOld, longName.c_str(), fw::kRegBinary, bigData.data(), static_cast<std::uint32_t>(bigData.size()));
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "Subject", "after the long ones");

  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());

  EXPECT_FALSE(KeyExists(m_strOld));
  EXPECT_EQ(ReadString(m_strNew, "SMTP Server"), "mail.example");
  EXPECT_EQ(app->ReadRegDword(fw::HKeyUsers(), m_strNew.c_str(), "SMTP Port", 0), 587u);
  EXPECT_EQ(ReadString(m_strNew, "Subject"), "after the long ones");
  fw::RegKey open;
  ASSERT_EQ(open.Open(fw::HKeyUsers(), m_strNew.c_str()), fw::kErrorSuccess);
  std::string copied(bigData.size() + 1, 'x');
  std::uint32_t type = 0;
  auto size = static_cast<std::uint32_t>(copied.size());
  ASSERT_EQ(fw::RegQueryValue(open.Get(), longName.c_str(), &type, copied.data(), &size), fw::kErrorSuccess);
  EXPECT_EQ(type, fw::kRegBinary);
  copied.resize(size);
  EXPECT_EQ(copied, bigData);
}

TEST_F(RegistryMoveTest, CopiesSubkeysRecursively) {
#if defined(_WIN32)
  const std::string longSubkey(160, 'k');  // Wine refuses longer names below HKEY_USERS\.DEFAULT
#else
  const std::string longSubkey(255, 'k');  // the longest name a key can have
#endif
  app->WriteRegString(fw::HKeyUsers(), (m_strOld + "\\Child\\Grandchild").c_str(), "Deep", "value");
  app->WriteRegString(fw::HKeyUsers(), (m_strOld + "\\" + longSubkey).c_str(), "Long", "named");

  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());

  EXPECT_EQ(ReadString(m_strNew + "\\Child\\Grandchild", "Deep"), "value");
  EXPECT_EQ(ReadString(m_strNew + "\\" + longSubkey, "Long"), "named");
}

TEST_F(RegistryMoveTest, NeverOverwritesMergesOrInventsKeys) {
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "Subject", "old");
  app->WriteRegString(fw::HKeyUsers(), m_strNew.c_str(), "Subject", "new");
  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());
  EXPECT_EQ(ReadString(m_strOld, "Subject"), "old");
  EXPECT_EQ(ReadString(m_strNew, "Subject"), "new");

  const std::string missing = CNotifyRegistry::GetRegistryPath("Configurations\\Missing");
  const std::string target = CNotifyRegistry::GetRegistryPath("Configurations\\Target");
  app->MoveRegistryKey(missing.c_str(), target.c_str());
  EXPECT_FALSE(KeyExists(target));
}

TEST_F(RegistryMoveTest, RefusesToMoveAKeyBelowItself) {
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "Subject", "old");
  const std::string below = m_strOld + "\\inner";
  app->MoveRegistryKey(m_strOld.c_str(), below.c_str());
  EXPECT_FALSE(KeyExists(below));
  EXPECT_EQ(ReadString(m_strOld, "Subject"), "old");
}

#if !defined(_WIN32)
TEST_F(RegistryMoveTest, ReportsAnIncompleteCopyAndKeepsTheOldKeyWhenTheTargetCannotBeMade) {
  app->WriteRegString(fw::HKeyUsers(), m_strOld.c_str(), "Subject", "old");
  {
    fw::RegKey from;
    fw::RegKey to;
    ASSERT_EQ(from.Open(fw::HKeyUsers(), m_strOld.c_str()), fw::kErrorSuccess);
    ASSERT_EQ(to.Create(fw::HKeyUsers(), m_strNew.c_str()), fw::kErrorSuccess);
    fw::posix::faults::FailNext(fw::posix::faults::Op::RegistryWrite, fw::kErrorAccessDenied);
    EXPECT_FALSE(app->CopyRegistryTree(from.Get(), to.Get()));
    fw::posix::faults::Reset();
  }
  DeleteRegistryTree(fw::HKeyUsers(), m_strNew);

  fw::posix::faults::FailNext(fw::posix::faults::Op::RegistryWrite, fw::kErrorAccessDenied);
  app->MoveRegistryKey(m_strOld.c_str(), m_strNew.c_str());
  fw::posix::faults::Reset();
  EXPECT_EQ(ReadString(m_strOld, "Subject"), "old");
  EXPECT_FALSE(KeyExists(m_strNew));
}
#endif

}  // namespace
}  // namespace qbtest
