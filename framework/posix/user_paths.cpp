// Per-user locations of the posix backend (see user_paths.h).
#include "framework/posix/user_paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace fw::posix {

std::string HomeDirectory() {
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') return env;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

std::string RegistryFilePath() {
  const char* explicitPath = std::getenv("QBNOTIFY_REGISTRY");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  std::string base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const std::string home = HomeDirectory();
    if (home.empty()) return {};
    base = home + "/.config";
  }
  return base + "/qbnotify/registry.sqlite3";
}

bool CreatePrivateDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat info {};
  if (::stat(dir.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const std::size_t cut = dir.find_last_not_of('/');
  const std::size_t parentEnd = cut == std::string::npos ? std::string::npos : dir.rfind('/', cut);
  if (parentEnd != std::string::npos && parentEnd > 0 && !CreatePrivateDirectories(dir.substr(0, parentEnd))) {
    return false;
  }
  // Another process may create it at the same moment.
  return ::mkdir(dir.c_str(), 0700) == 0 ||
         (errno == EEXIST && ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
}

}  // namespace fw::posix
