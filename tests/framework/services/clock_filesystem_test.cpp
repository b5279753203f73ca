// The clocks with their test seams, calendar conversions, date and time texts, and directory
// and file operations by path.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "framework/clock.h"
#include "framework/filesystem.h"
#include "framework/test_seams.h"
#include "temp_dir.h"

namespace {

TEST(ClockTest, SeamsReplaceAndRestoreTheClocks) {
  std::uint32_t ticks = 0xFFFFFFF0u;
  fw::testing::SetTickCountSource([&ticks] { return ticks; });
  fw::testing::SetTimeSource([] { return std::int64_t{1796565909}; });
  EXPECT_EQ(fw::GetTickCount(), 0xFFFFFFF0u);
  ticks += 0x20;
  EXPECT_EQ(fw::GetTickCount(), 0x10u);
  EXPECT_EQ(fw::Time64(), 1796565909);

  fw::testing::SetTickCountSource(nullptr);
  fw::testing::SetTimeSource(nullptr);
  EXPECT_NEAR(static_cast<double>(fw::Time64()), static_cast<double>(std::time(nullptr)), 2.0);
  const std::uint32_t first = fw::GetTickCount();
  EXPECT_LT(static_cast<std::uint32_t>(fw::GetTickCount() - first), 1000u);  // monotonic, modulo 2^32
}

TEST(ClockTest, ConvertsBetweenCalendarTimeAndSeconds) {
  fw::CalendarTime utc;
  ASSERT_TRUE(fw::ToUtcTime(1709647629, utc));
  EXPECT_EQ((std::vector<int>{utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second, utc.dayOfWeek}),
            (std::vector<int>{2024, 3, 5, 14, 7, 9, 2}));
  fw::CalendarTime local;
  ASSERT_TRUE(fw::ToLocalTime(1709647629, local));
  EXPECT_EQ(fw::FromLocalTime(local), 1709647629);
}

TEST(ClockTest, DateAndTimeTextsAreNotEmptyAndTheShortTimeHasNoSeconds) {
  const fw::CalendarTime t{2024, 3, 5, 14, 7, 9, 2};
  EXPECT_NE(fw::FormatShortDate(t), "");
  const std::string withSeconds = fw::FormatTimeOfDay(t, true);
  const std::string withoutSeconds = fw::FormatTimeOfDay(t, false);
  EXPECT_NE(withSeconds.find("09"), std::string::npos) << withSeconds;
  EXPECT_NE(withoutSeconds.find("07"), std::string::npos) << withoutSeconds;
  EXPECT_EQ(withoutSeconds.find("09"), std::string::npos) << withoutSeconds;
}

TEST(FilesystemTest, CreateDirectoryMakesOneLevelAndDeleteFileRemovesFilesOnce) {
  fw_test::TempDir dir;
  const std::string data = dir.File("Data");
  EXPECT_TRUE(fw::CreateDirectory(data));
  EXPECT_TRUE(fw::PathExists(data));
  EXPECT_FALSE(fw::CreateDirectory(data));  // exists already
  EXPECT_FALSE(fw::CreateDirectory(dir.File("missing/child")));
  EXPECT_FALSE(fw::PathExists(dir.File("missing")));

  const std::string file = dir.File("Information_1_2.txt");
  fw_test::WriteBytes(file, "x");
  EXPECT_TRUE(fw::PathExists(file));
  EXPECT_TRUE(fw::DeleteFile(file));
  EXPECT_FALSE(fw::PathExists(file));
  EXPECT_FALSE(fw::DeleteFile(file));
}

}  // namespace
