// CStdioFile: line ends on disk in text and binary mode, reading lines, create-new, and the
// exceptions of a stream that is not open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/stdio_file.h"
#include "temp_dir.h"

namespace {

using fw::CFileException;
using fw::CStdioFile;
using namespace std::string_literals;

constexpr unsigned kWriteText =
    CStdioFile::modeCreate | CStdioFile::modeWrite | CStdioFile::shareDenyWrite | CStdioFile::typeText;
constexpr unsigned kWriteBinary = CStdioFile::modeCreate | CStdioFile::modeWrite | CStdioFile::typeBinary;
constexpr unsigned kReadText = CStdioFile::modeRead | CStdioFile::typeText;
constexpr unsigned kReadBinary = CStdioFile::modeRead | CStdioFile::typeBinary;

std::vector<std::string> ReadLines(const std::string& path, unsigned flags) {
  CStdioFile file;
  EXPECT_TRUE(file.Open(path, flags));
  std::vector<std::string> lines;
  std::string line;
  while (file.ReadString(line)) lines.push_back(line);
  EXPECT_FALSE(file.ReadString(line));  // stays at the end
  return lines;
}

class StdioFileTest : public ::testing::Test {
 protected:
  fw_test::TempDir m_dir;
  const std::string m_path = m_dir.File("journal.txt");
};

TEST_F(StdioFileTest, TextModeWritesEveryNewlineAsCrLf) {
  {
    CStdioFile file;
    ASSERT_TRUE(file.Open(m_path, kWriteText));
    file.WriteString("first\n");
    file.WriteString("\n\nsecond ");
    file.WriteString("");
    file.WriteString("part\nK\xD6LN \xE4\r\n");  // an existing CR stays; its LF still becomes CR LF
    file.WriteString("nul\0byte\n"s);
  }  // the destructor flushes and closes
  EXPECT_EQ(fw_test::ReadBytes(m_path), "first\r\n\r\n\r\nsecond part\r\nK\xD6LN \xE4\r\r\nnul\0byte\r\n"s);
}

TEST_F(StdioFileTest, BinaryModePassesBytesUnchanged) {
  const std::string bytes = "a\r\nb\nc\rd\0\xFF"s;
  CStdioFile file;
  ASSERT_TRUE(file.Open(m_path, kWriteBinary));
  file.WriteString(bytes);
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(fw_test::ReadBytes(m_path), bytes);

  EXPECT_EQ(ReadLines(m_path, kReadBinary), (std::vector<std::string>{"a\r", "b", "c\rd\0\xFF"s}));
  ASSERT_TRUE(file.Open(m_path, kReadBinary));
  std::string buffer(64, '\0');
  buffer.resize(file.Read(buffer.data(), buffer.size()));
  EXPECT_EQ(buffer, bytes);
}

TEST_F(StdioFileTest, TextModeReadsCrLfAndLfLineEnds) {
  fw_test::WriteBytes(m_path, "one\r\ntwo\nthree\r\n\r\nlone\rcr\r\nlast");
  EXPECT_EQ(ReadLines(m_path, kReadText), (std::vector<std::string>{"one", "two", "three", "", "lone\rcr", "last"}));
  fw_test::WriteBytes(m_path, "");
  EXPECT_EQ(ReadLines(m_path, kReadText), (std::vector<std::string>{}));
  const std::string longLine(10000, 'L');
  fw_test::WriteBytes(m_path, longLine + "\r\n" + longLine + "\r\n");
  EXPECT_EQ(ReadLines(m_path, kReadText), (std::vector<std::string>{longLine, longLine}));

  // Read joins a CR LF that straddles two calls.
  fw_test::WriteBytes(m_path, "ab\r\ncd\r\rx\r");
  CStdioFile file;
  ASSERT_TRUE(file.Open(m_path, kReadText));
  std::string got;
  char c;
  while (file.Read(&c, 1) == 1) got += c;
  EXPECT_EQ(got, "ab\ncd\r\rx\r");
}

TEST_F(StdioFileTest, CreateTruncatesButCreateNewRefusesAnExistingFile) {
  fw_test::WriteBytes(m_path, "old content");
  CStdioFile file;
  CFileException::Cause cause = CFileException::kGeneric;
  EXPECT_FALSE(file.Open(m_path, kWriteText | CStdioFile::modeCreateNew, &cause));
  EXPECT_EQ(cause, CFileException::kAlreadyExists);
  EXPECT_EQ(fw_test::ReadBytes(m_path), "old content");

  const std::string fresh = m_dir.File("fresh.txt");
  ASSERT_TRUE(file.Open(fresh, kWriteText | CStdioFile::modeCreateNew));
  file.WriteString("new\n");
  file.Close();
  EXPECT_EQ(fw_test::ReadBytes(fresh), "new\r\n");

  ASSERT_TRUE(file.Open(m_path, kWriteText));
  file.Close();
  EXPECT_EQ(fw_test::ReadBytes(m_path), "");
}

TEST_F(StdioFileTest, FailuresToOpenAndUseOfAClosedStream) {
  CStdioFile file;
  CFileException::Cause cause = CFileException::kGeneric;
  EXPECT_FALSE(file.Open(m_dir.File("missing.txt"), kReadText, &cause));
  EXPECT_EQ(cause, CFileException::kFileNotFound);
  EXPECT_FALSE(file.Open(m_dir.File("no-such-dir/file.txt"), kWriteText));
  EXPECT_FALSE(file.Open("", kReadText));

  std::string line;
  char byte;
  EXPECT_THROW(file.WriteString("x\n"), CFileException);
  EXPECT_THROW(file.ReadString(line), CFileException);
  EXPECT_THROW(file.Read(&byte, 1), CFileException);
  EXPECT_NO_THROW(file.Close());
}

}  // namespace
