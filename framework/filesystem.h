// Files and directories by path.
#pragma once

#include <cstddef>
#include <string>

namespace fw {

// CreateDirectoryA: creates one directory. False if it exists already or cannot be created.
bool CreateDirectory(const std::string& path);
// _unlink: deletes a file. False on failure.
bool DeleteFile(const std::string& path);
// True when something (file or directory) exists at `path`.
bool PathExists(const std::string& path);

// Files that other programs keep for the user (mail-client profiles). Paths here are UTF-8 on
// every platform, because such folders may hold any character; the functions above take paths
// in the add-on's 8-bit text.
//
// The folder of application `name`'s per-user data: Windows "%APPDATA%\<name>", elsewhere
// "$HOME/.<name in lower case>" (the password database's home directory when $HOME is unset).
// Empty when the location is unknown.
std::string UserAppFolder(const std::string& name);

// Reads the whole regular file at `utf8Path` into `bytes`. False, with `bytes` empty, when the
// file cannot be read or is larger than `maxBytes`.
bool ReadWholeFile(const std::string& utf8Path, std::size_t maxBytes, std::string& bytes);

}  // namespace fw
