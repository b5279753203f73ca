// Per-user locations of the posix backend: the home directory, the registry database file,
// and owner-only directories for the files kept beside it.
#pragma once

#include <string>

namespace fw::posix {

// $HOME, else the home directory of the password database. Empty when neither is known.
std::string HomeDirectory();

// The registry database: $QBNOTIFY_REGISTRY when set, else qbnotify/registry.sqlite3 under
// $XDG_CONFIG_HOME (when absolute) or ~/.config. Empty when no home directory is known.
std::string RegistryFilePath();

// Creates `dir` and every missing directory above it, each readable by its owner only (0700).
// Directories that exist keep their modes. True when `dir` is a directory afterwards.
bool CreatePrivateDirectories(const std::string& dir);

}  // namespace fw::posix
