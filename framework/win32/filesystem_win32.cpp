// Files and directories by path through the Win32 and C run-time calls.
#include <io.h>

#include <string>

#include "framework/filesystem.h"
#include "framework/win32/windows_api.h"

namespace fw {
namespace {

// A path with an embedded zero byte would name another file.
bool Usable(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

}  // namespace

bool CreateDirectory(const std::string& path) {
  return Usable(path) && ::CreateDirectoryA(path.c_str(), nullptr);
}

bool DeleteFile(const std::string& path) {
  return Usable(path) && ::_unlink(path.c_str()) == 0;
}

bool PathExists(const std::string& path) {
  return Usable(path) && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace fw
