// CStdioFile: failures to open and the exceptions of a stream that is not open; write errors of
// a full disk (posix); sharing between a writer and others (Windows). Create-new against taken
// names and line ends on disk are checked by the journal's tests.
#include <gtest/gtest.h>

#include "framework/filesystem.h"
#include "framework/stdio_file.h"
#include "test_support.h"

namespace {

using fw::CFileException;
using fw::CStdioFile;

constexpr unsigned kWriteText =
    CStdioFile::modeCreate | CStdioFile::modeWrite | CStdioFile::shareDenyWrite | CStdioFile::typeText;
constexpr unsigned kReadText = CStdioFile::modeRead | CStdioFile::typeText;

TEST(StdioFile, FailuresToOpenAndUseOfAClosedStream) {
  qbtest::TempDir dir;
  CStdioFile file;
  CFileException::Cause cause = CFileException::kGeneric;
  EXPECT_FALSE(file.Open(dir.File("missing.txt"), kReadText, &cause));
  EXPECT_EQ(cause, CFileException::kFileNotFound);
  EXPECT_FALSE(file.Open(dir.File("no-such-dir/file.txt"), kWriteText));
  EXPECT_FALSE(file.Open("", kReadText));
  char byte;
  EXPECT_THROW(file.WriteString("x\n"), CFileException);
  EXPECT_THROW(file.Read(&byte, 1), CFileException);
  EXPECT_NO_THROW(file.Close());
}

#if defined(_WIN32)
TEST(StdioFile, AWriterShutsOutOtherWritersButNotReadersOrDeletion) {
  qbtest::TempDir dir;
  const std::string path = dir.File("shared.txt");
  CStdioFile writer, second, reader;
  ASSERT_TRUE(writer.Open(path, kWriteText));
  writer.WriteString("line\n");
  CFileException::Cause cause = CFileException::kGeneric;
  EXPECT_FALSE(second.Open(path, kWriteText, &cause));
  EXPECT_EQ(cause, CFileException::kAccessDenied);
  EXPECT_TRUE(reader.Open(path, kReadText));
  reader.Close();
  // The name goes at once or when the writer closes; either way nothing is left behind.
  EXPECT_TRUE(fw::DeleteFile(path));
  EXPECT_NO_THROW(writer.Close());
  EXPECT_FALSE(fw::PathExists(path));
}
#else
TEST(StdioFile, AFullDiskThrowsAtTheWriteOrAtTheClose) {
  CStdioFile file;
  ASSERT_TRUE(file.Open("/dev/full", CStdioFile::modeWrite | CStdioFile::typeText));
  try {
    file.WriteString(std::string(64 * 1024, 'x') + "\n");  // more than the stream buffer
    ADD_FAILURE() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.GetCause(), CFileException::kDiskFull);
  }
  file.Abort();
  ASSERT_TRUE(file.Open("/dev/full", CStdioFile::modeWrite | CStdioFile::typeText));
  file.WriteString("short\n");  // stays in the buffer until the close
  EXPECT_THROW(file.Close(), CFileException);
  EXPECT_FALSE(file.IsOpen());
}
#endif

}  // namespace
