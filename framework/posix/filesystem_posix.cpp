// Files and directories by path on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "framework/filesystem.h"
#include "framework/posix/user_paths.h"

namespace fw {

bool CreateDirectory(const std::string& path) {
  return !path.empty() && ::mkdir(path.c_str(), 0777) == 0;
}

bool DeleteFile(const std::string& path) {
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::string UserAppFolder(const std::string& name) {
  const std::string home = posix::HomeDirectory();
  if (home.empty() || name.empty()) return {};
  std::string folder = home + "/.";
  for (const char c : name) folder += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folder;
}

bool ReadWholeFile(const std::string& utf8Path, std::size_t maxBytes, std::string& bytes) {
  bytes.clear();
  const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= maxBytes;
  // The file may grow while it is read: never more than maxBytes.
  std::string content(ok ? static_cast<std::size_t>(info.st_size) + 1 : 0, '\0');
  std::size_t filled = 0;
  while (ok) {
    if (filled == content.size()) content.resize(std::min(maxBytes + 1, content.size() * 2 + 4096));
    const ssize_t got = ::read(fd, content.data() + filled, content.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    filled += static_cast<std::size_t>(got);
    ok = filled <= maxBytes;
  }
  ::close(fd);
  if (!ok) return false;
  content.resize(filled);
  bytes = std::move(content);
  return true;
}

}  // namespace fw
