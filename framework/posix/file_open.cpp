// Opening files for CStdioFile: open(2) with the flags of the open mode, then a binary stdio
// stream on the descriptor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "framework/backend.h"

namespace fw::backend {
namespace {

CFileException::Cause CauseOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return CFileException::kFileNotFound;
    case EEXIST:
      return CFileException::kAlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return CFileException::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return CFileException::kDiskFull;
    default:
      return CFileException::kGeneric;
  }
}

}  // namespace

std::FILE* OpenFile(const std::string& path, unsigned flags, CFileException::Cause& cause) {
  const bool create = (flags & CStdioFile::modeCreate) != 0;
  const bool write = create || (flags & CStdioFile::modeWrite) != 0;
  int openFlags = O_CLOEXEC;
  const char* mode = "rb";
  if (!write) {
    openFlags |= O_RDONLY;
  } else if (!create) {
    openFlags |= O_WRONLY | O_APPEND;  // an existing file, written at its end
    mode = "ab";
  } else if ((flags & CStdioFile::modeCreateNew) != 0) {
    openFlags |= O_WRONLY | O_CREAT | O_EXCL;
    mode = "wb";
  } else {
    openFlags |= O_WRONLY | O_CREAT | O_TRUNC;
    mode = "wb";
  }

  const int fd = ::open(path.c_str(), openFlags, 0666);
  if (fd < 0) {
    cause = CauseOf(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    cause = CFileException::kAccessDenied;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, mode);
  if (file == nullptr) {
    cause = CauseOf(errno);
    ::close(fd);
  }
  return file;
}

}  // namespace fw::backend
