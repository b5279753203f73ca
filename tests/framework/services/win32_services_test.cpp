// Windows: the registry handles are the system's own, file sharing of the stdio files, and
// calendar fields that do not fit the system's date and time formatting.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <string>

// Before the framework's headers: it removes the character-set macros of <windows.h>.
#include "framework/win32/windows_api.h"

#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/registry.h"
#include "framework/stdio_file.h"

namespace {

class Win32RegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ::RegDeleteKeyA(HKEY_CURRENT_USER, m_path.c_str());
    ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QBNotifyTests");  // fails while others use it
  }

  const std::string m_path = "Software\\QBNotifyTests\\win32-" + std::to_string(GetCurrentProcessId());
};

TEST_F(Win32RegistryTest, RootsAndValuesAreTheSystemRegistrys) {
  fw::RegKey key;
  ASSERT_EQ(key.Create(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorSuccess);
  const std::uint32_t written = 0x12345678;
  ASSERT_EQ(fw::RegSetValue(key.Get(), "Number", fw::kRegDword, &written, sizeof written), fw::kErrorSuccess);

  HKEY raw = nullptr;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
  DWORD read = 0, size = sizeof read, type = 0;
  EXPECT_EQ(::RegQueryValueExA(raw, "Number", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
  ::RegCloseKey(raw);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(read, written);

  fw::RegKey users;
  EXPECT_EQ(users.Open(fw::HKeyUsers(), ".DEFAULT"), fw::kErrorSuccess);
  fw::RegKey machine;
  EXPECT_EQ(machine.Open(fw::HKeyLocalMachine(), "Software"), fw::kErrorSuccess);
}

TEST_F(Win32RegistryTest, ReopeningAKeyGivesAHandleOfItsOwn) {
  fw::RegKey key;
  ASSERT_EQ(key.Create(fw::HKeyCurrentUser(), m_path.c_str()), fw::kErrorSuccess);
  for (const char* self : {static_cast<const char*>(nullptr), ""}) {
    fw::RegKey opened, created;
    ASSERT_EQ(opened.Open(key.Get(), self), fw::kErrorSuccess);
    ASSERT_EQ(created.Create(key.Get(), self), fw::kErrorSuccess);
    EXPECT_NE(opened.Get(), key.Get());
    EXPECT_NE(created.Get(), key.Get());
  }
  // Closing the copies left the first handle open.
  const std::uint32_t value = 1;
  EXPECT_EQ(fw::RegSetValue(key.Get(), "After", fw::kRegDword, &value, sizeof value), fw::kErrorSuccess);
}

TEST(Win32FileSharing, AWriterShutsOutOtherWritersButNotReadersOrDeletion) {
  char temp[MAX_PATH] = {};
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  const std::string path = std::string(temp) + "qbnotify-sharing-" + std::to_string(GetCurrentProcessId()) + ".txt";
  const unsigned writeFlags = fw::CStdioFile::modeCreate | fw::CStdioFile::modeWrite | fw::CStdioFile::shareDenyWrite |
                              fw::CStdioFile::typeText;

  fw::CStdioFile writer;
  ASSERT_TRUE(writer.Open(path, writeFlags));
  writer.WriteString("line\n");

  fw::CStdioFile second;
  auto cause = fw::CFileException::kGeneric;
  EXPECT_FALSE(second.Open(path, writeFlags, &cause));
  EXPECT_EQ(cause, fw::CFileException::kAccessDenied);

  fw::CStdioFile reader;
  EXPECT_TRUE(reader.Open(path, fw::CStdioFile::modeRead | fw::CStdioFile::typeText));
  reader.Close();

  // The name goes at once or when the writer closes; either way nothing is left behind.
  EXPECT_TRUE(fw::DeleteFile(path));
  EXPECT_NO_THROW(writer.Close());
  EXPECT_FALSE(fw::PathExists(path));
}

TEST(Win32Clock, FieldsOutsideTheSystemsRangeGiveEmptyTexts) {
  fw::CalendarTime t{2024, 3, 5, 14, 7, 9, 2};
  EXPECT_NE(fw::FormatShortDate(t), "");
  EXPECT_NE(fw::FormatTimeOfDay(t, true), "");
  EXPECT_NE(fw::FormatTimeOfDay(t, false), fw::FormatTimeOfDay(t, true));

  fw::CalendarTime wrapsToAValidYear = t;
  wrapsToAValidYear.year = 2024 + 65536;
  EXPECT_EQ(fw::FormatShortDate(wrapsToAValidYear), "");
  fw::CalendarTime badMonth = t;
  badMonth.month = 13;
  EXPECT_EQ(fw::FormatShortDate(badMonth), "");
  fw::CalendarTime badHour = t;
  badHour.hour = -1;
  EXPECT_EQ(fw::FormatTimeOfDay(badHour, true), "");
}

}  // namespace

#endif  // _WIN32
