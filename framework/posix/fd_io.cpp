// Whole reads and writes on a file descriptor (see fd_io.h).
#include "framework/posix/fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace fw::posix {

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* next = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, next, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    next += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* next = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t put = ::write(fd, next, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    next += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace fw::posix
