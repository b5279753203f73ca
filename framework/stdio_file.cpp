// CStdioFile: a binary stdio stream with the line-end translation of text mode done here, so
// that text files have CR LF line ends on every platform.
#include "framework/stdio_file.h"

#include <cerrno>
#include <cstring>

#include "framework/backend.h"

namespace fw {
namespace {

// Unlocked stream access where the C library has it: the caller holds the stream's lock.
#if defined(_WIN32)
class StreamLock {
 public:
  explicit StreamLock(std::FILE*) {}
};
inline std::size_t WriteBytes(const void* data, std::size_t size, std::FILE* file) {
  return std::fwrite(data, 1, size, file);
}
inline int GetByte(std::FILE* file) {
  return std::getc(file);
}
#else
class StreamLock {
 public:
  explicit StreamLock(std::FILE* file) : m_file(file) { flockfile(m_file); }
  ~StreamLock() { funlockfile(m_file); }
  StreamLock(const StreamLock&) = delete;
  StreamLock& operator=(const StreamLock&) = delete;

 private:
  std::FILE* m_file;
};
inline std::size_t WriteBytes(const void* data, std::size_t size, std::FILE* file) {
  return fwrite_unlocked(data, 1, size, file);
}
inline int GetByte(std::FILE* file) {
  return getc_unlocked(file);
}
#endif

[[noreturn]] void ThrowWriteError() {
  throw CFileException(errno == ENOSPC ? CFileException::kDiskFull : CFileException::kGeneric);
}

[[noreturn]] void ThrowNotOpen() {
  throw CFileException(CFileException::kGeneric);
}

}  // namespace

CStdioFile::~CStdioFile() {
  Abort();
}

bool CStdioFile::Open(const std::string& path, unsigned flags, CFileException::Cause* cause) {
  Abort();
  CFileException::Cause why = CFileException::kGeneric;
  try {
    m_file = backend::OpenFile(path, flags, why);
  } catch (...) {
    m_file = nullptr;
    why = CFileException::kGeneric;
  }
  if (m_file == nullptr) {
    if (cause != nullptr) *cause = why;
    return false;
  }
  m_bText = (flags & typeBinary) == 0;
  return true;
}

void CStdioFile::Close() {
  if (m_file == nullptr) return;
  std::FILE* file = m_file;
  m_file = nullptr;
  const bool hadError = std::ferror(file) != 0;
  errno = 0;
  if (std::fclose(file) != 0 || hadError) ThrowWriteError();
}

void CStdioFile::Abort() noexcept {
  if (m_file == nullptr) return;
  std::fclose(m_file);
  m_file = nullptr;
}

void CStdioFile::WriteString(std::string_view text) {
  if (m_file == nullptr) ThrowNotOpen();
  if (text.empty()) return;
  StreamLock lock(m_file);
  errno = 0;
  if (!m_bText) {
    if (WriteBytes(text.data(), text.size(), m_file) != text.size()) ThrowWriteError();
    return;
  }
  const char* rest = text.data();
  const char* const end = rest + text.size();
  while (rest < end) {
    const auto* newline = static_cast<const char*>(std::memchr(rest, '\n', static_cast<std::size_t>(end - rest)));
    const char* chunkEnd = newline != nullptr ? newline : end;
    const auto chunk = static_cast<std::size_t>(chunkEnd - rest);
    if (chunk != 0 && WriteBytes(rest, chunk, m_file) != chunk) ThrowWriteError();
    if (newline == nullptr) break;
    if (WriteBytes("\r\n", 2, m_file) != 2) ThrowWriteError();
    rest = newline + 1;
  }
}

bool CStdioFile::ReadString(std::string& line) {
  line.clear();
  if (m_file == nullptr) ThrowNotOpen();
  StreamLock lock(m_file);
  bool any = false;
  int c;
  while ((c = GetByte(m_file)) != EOF) {
    any = true;
    if (c == '\n') {
      if (m_bText && !line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    line.push_back(static_cast<char>(c));
  }
  if (std::ferror(m_file) != 0) throw CFileException(CFileException::kGeneric);
  return any;
}

std::size_t CStdioFile::Read(void* buffer, std::size_t count) {
  if (m_file == nullptr) ThrowNotOpen();
  if (count == 0) return 0;
  auto* out = static_cast<char*>(buffer);
  if (!m_bText) {
    const std::size_t got = std::fread(out, 1, count, m_file);
    if (got < count && std::ferror(m_file) != 0) throw CFileException(CFileException::kGeneric);
    return got;
  }
  // Text mode: a CR directly followed by LF is dropped. Refill until the buffer is full or the
  // file ends, so that a short result means the end of the file, as in binary mode.
  StreamLock lock(m_file);
  std::size_t filled = 0;
  while (filled < count) {
    const int c = GetByte(m_file);
    if (c == EOF) break;
    if (c == '\r') {
      const int next = GetByte(m_file);
      if (next == '\n') {
        out[filled++] = '\n';
        continue;
      }
      if (next != EOF) std::ungetc(next, m_file);
    }
    out[filled++] = static_cast<char>(c);
  }
  if (std::ferror(m_file) != 0) throw CFileException(CFileException::kGeneric);
  return filled;
}

}  // namespace fw
