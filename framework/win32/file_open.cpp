// Opening a CStdioFile's stream: CreateFileA with the sharing of the open flags, then a
// binary C run-time stream on that handle. A file open for writing denies other writers but
// lets readers in; a file open for reading lets anyone in.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "framework/backend.h"
#include "framework/win32/windows_api.h"

namespace fw::backend {
namespace {

CFileException::Cause CauseOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return CFileException::kFileNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return CFileException::kAlreadyExists;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return CFileException::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return CFileException::kDiskFull;
    default:
      return CFileException::kGeneric;
  }
}

DWORD CreationOf(unsigned flags) {
  if ((flags & CStdioFile::modeCreate) == 0) return OPEN_EXISTING;
  return (flags & CStdioFile::modeCreateNew) != 0 ? CREATE_NEW : CREATE_ALWAYS;
}

}  // namespace

std::FILE* OpenFile(const std::string& path, unsigned flags, CFileException::Cause& cause) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    cause = CFileException::kFileNotFound;
    return nullptr;
  }
  const bool write = (flags & CStdioFile::modeWrite) != 0;
  // Deleting stays possible while the file is open (the name goes once the last handle closes),
  // as it is for an unlinked file elsewhere.
  const DWORD share =
      write ? FILE_SHARE_READ | FILE_SHARE_DELETE : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle = ::CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, share, nullptr, CreationOf(flags),
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    cause = CauseOf(::GetLastError());
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), (write ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
  if (fd == -1) {
    ::CloseHandle(handle);
    cause = CFileException::kGeneric;
    return nullptr;
  }
  std::FILE* stream = ::_fdopen(fd, write ? "wb" : "rb");
  if (stream == nullptr) {
    ::_close(fd);
    cause = CFileException::kGeneric;
    return nullptr;
  }
  return stream;
}

}  // namespace fw::backend
