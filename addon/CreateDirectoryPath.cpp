// CreateDirectoryPath: creates a directory and every missing directory above it, one path
// component at a time, never trying a drive root or a server share on its own.
#include <cstring>
#include <string>

#include "addon/NotifyAddOnApp.h"
#include "framework/filesystem.h"

namespace {

constexpr std::size_t kMaxPath = 260;

// End of the first component to create: after the drive ("C:\dir"), after the server of a
// network path ("\\server\share"), after the first directory of a rooted path ("\dir"), or
// the whole path.
std::size_t FirstComponentEnd(const std::string& path) {
  constexpr char sep = fw::kPathSeparator;
  const std::size_t length = path.size();
  if (length >= 5 && path[1] == ':' && path[2] == sep) {
    const std::size_t end = path.find(sep, 3);
    if (end != std::string::npos) return end;
  }
  if (length >= 4 && path[0] == sep && path[1] == sep) {
    const std::size_t end = path.find(sep, 2);
    if (end != std::string::npos) return end;
  }
  if (length >= 3 && path[0] == sep && path[1] != sep) {
    const std::size_t end = path.find(sep, 2);
    if (end != std::string::npos) return end;
  }
  return length;
}

}  // namespace

bool CreateDirectoryPath(const char* pszPath) {
  if (!pszPath || std::strlen(pszPath) >= kMaxPath) return false;
  const std::string path = pszPath;
  std::size_t end = FirstComponentEnd(path);
  bool bCreated = false;
  for (;;) {
    bCreated = fw::CreateDirectory(path.substr(0, end));
    if (end >= path.size()) break;
    const std::size_t next = path.find(fw::kPathSeparator, end + 1);
    if (next != std::string::npos) {
      end = next;
      continue;
    }
    // A trailing separator ends the work; otherwise the last component is the whole path.
    if (end + 1 < path.size()) bCreated = fw::CreateDirectory(path);
    break;
  }
  return bCreated;
}
