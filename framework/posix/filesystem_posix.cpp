// Files and directories by path on POSIX systems.
#include <sys/stat.h>
#include <unistd.h>

#include "framework/filesystem.h"

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

}  // namespace fw
