// Files and directories by path.
#pragma once

#include <string>

namespace fw {

// CreateDirectoryA: creates one directory. False if it exists already or cannot be created.
bool CreateDirectory(const std::string& path);
// _unlink: deletes a file. False on failure.
bool DeleteFile(const std::string& path);
// True when something (file or directory) exists at `path`.
bool PathExists(const std::string& path);

}  // namespace fw
