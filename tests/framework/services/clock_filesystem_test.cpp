// The clocks with their test seams, calendar conversions, date and time texts, and directory
// and file operations by path.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/test_seams.h"
#include "temp_dir.h"

namespace {

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override {
    fw::testing::SetTickCountSource(nullptr);
    fw::testing::SetTimeSource(nullptr);
  }
};

TEST_F(ClockTest, SeamsReplaceAndRestoreTheClocks) {
  std::uint32_t ticks = 0xFFFFFFF0u;
  fw::testing::SetTickCountSource([&ticks] { return ticks; });
  EXPECT_EQ(fw::GetTickCount(), 0xFFFFFFF0u);
  ticks += 0x20;  // wraps like the real count
  EXPECT_EQ(fw::GetTickCount(), 0x10u);

  fw::testing::SetTimeSource([] { return std::int64_t{1796565909}; });
  EXPECT_EQ(fw::Time64(), 1796565909);

  fw::testing::SetTickCountSource(nullptr);
  fw::testing::SetTimeSource(nullptr);
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_NEAR(static_cast<double>(fw::Time64()), static_cast<double>(now), 2.0);
  const std::uint32_t first = fw::GetTickCount();
  const std::uint32_t second = fw::GetTickCount();
  EXPECT_LT(static_cast<std::uint32_t>(second - first), 1000u);  // monotonic, modulo 2^32
}

TEST_F(ClockTest, ConvertsBetweenCalendarTimeAndSeconds) {
  fw::CalendarTime utc;
  ASSERT_TRUE(fw::ToUtcTime(1709647629, utc));
  EXPECT_EQ(utc.year, 2024);
  EXPECT_EQ(utc.month, 3);
  EXPECT_EQ(utc.day, 5);
  EXPECT_EQ(utc.hour, 14);
  EXPECT_EQ(utc.minute, 7);
  EXPECT_EQ(utc.second, 9);
  EXPECT_EQ(utc.dayOfWeek, 2);

  ASSERT_TRUE(fw::ToUtcTime(0, utc));
  EXPECT_EQ(utc.year, 1970);
  EXPECT_EQ(utc.dayOfWeek, 4);

  fw::CalendarTime local;
  ASSERT_TRUE(fw::ToLocalTime(1709647629, local));
  EXPECT_EQ(fw::FromLocalTime(local), 1709647629);
}

TEST_F(ClockTest, DateAndTimeTextsAreNotEmptyAndTheShortTimeHasNoSeconds) {
  const fw::CalendarTime t{2024, 3, 5, 14, 7, 9, 2};
  EXPECT_NE(fw::FormatShortDate(t), "");
  const std::string withSeconds = fw::FormatTimeOfDay(t, true);
  const std::string withoutSeconds = fw::FormatTimeOfDay(t, false);
  EXPECT_NE(withSeconds.find("07"), std::string::npos) << withSeconds;
  EXPECT_NE(withSeconds.find("09"), std::string::npos) << withSeconds;
  EXPECT_NE(withoutSeconds.find("07"), std::string::npos) << withoutSeconds;
  EXPECT_EQ(withoutSeconds.find("09"), std::string::npos) << withoutSeconds;
}

TEST(FilesystemTest, CreateDirectoryCreatesOneLevelAndReportsExistingOnes) {
  fw_test::TempDir dir;
  const std::string data = dir.File("Data");
  EXPECT_FALSE(fw::PathExists(data));
  EXPECT_TRUE(fw::CreateDirectory(data));
  EXPECT_TRUE(fw::PathExists(data));
  EXPECT_FALSE(fw::CreateDirectory(data));  // exists already
  EXPECT_FALSE(fw::CreateDirectory(dir.File("missing/child")));
  EXPECT_FALSE(fw::PathExists(dir.File("missing")));
  EXPECT_FALSE(fw::CreateDirectory(""));
}

TEST(FilesystemTest, DeleteFileRemovesFilesOnce) {
  fw_test::TempDir dir;
  const std::string file = dir.File("Information_1_2.txt");
  fw_test::WriteBytes(file, "x");
  EXPECT_TRUE(fw::PathExists(file));
  EXPECT_TRUE(fw::DeleteFile(file));
  EXPECT_FALSE(fw::PathExists(file));
  EXPECT_FALSE(fw::DeleteFile(file));
  EXPECT_FALSE(fw::DeleteFile(dir.File("never-there.txt")));
}

}  // namespace
