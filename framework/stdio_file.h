// Buffered files in the manner of the platform's stdio: text mode writes every "\n" as CR LF
// and reads CR LF as one line end, on every platform; binary mode passes bytes unchanged.
// Failures while writing, reading or closing throw CFileException; Open reports by result.
#pragma once

#include <cstddef>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

namespace fw {

class CFileException : public std::exception {
 public:
  enum Cause { kGeneric = 1, kFileNotFound, kAlreadyExists, kAccessDenied, kDiskFull, kEndOfFile };
  explicit CFileException(Cause cause) : m_cause(cause) {}
  Cause GetCause() const { return m_cause; }
  const char* what() const noexcept override { return "file exception"; }

 private:
  Cause m_cause;
};

class CStdioFile {
 public:
  // Open flags (the values of the platform framework).
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    shareDenyWrite = 0x0020,
    modeCreate = 0x1000,
    typeText = 0x4000,
    typeBinary = 0x8000,
    // Framework extension: with modeCreate, fail (cause kAlreadyExists) instead of
    // truncating a file that exists; the check and the creation are one atomic step.
    modeCreateNew = 0x10000,
  };

  CStdioFile() = default;
  CStdioFile(const CStdioFile&) = delete;
  CStdioFile& operator=(const CStdioFile&) = delete;
  ~CStdioFile();  // closes an open file, ignoring errors

  // Opens `path`; on failure returns false and, when `cause` is given, stores why.
  bool Open(const std::string& path, unsigned flags, CFileException::Cause* cause = nullptr);
  bool IsOpen() const { return m_file != nullptr; }

  // Flushes and closes; throws CFileException when that fails (the file is closed anyway).
  // Does nothing when no file is open.
  void Close();
  // Closes without reporting errors.
  void Abort() noexcept;

  // Writes the text; in text mode every "\n" becomes CR LF. Throws CFileException.
  void WriteString(std::string_view text);
  // Reads the next line without its line end (LF, or CR LF in text mode) into `line`.
  // Returns false at the end of the file. Throws CFileException on a read error.
  bool ReadString(std::string& line);
  // Reads up to `count` bytes; returns how many were read (0 at the end). Throws on error.
  std::size_t Read(void* buffer, std::size_t count);

 private:
  std::FILE* m_file = nullptr;
  bool m_bText = false;
};

}  // namespace fw
