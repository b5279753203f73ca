// Whole reads and writes on a file descriptor: the loops around read(2) and write(2) that go
// on after a short transfer or an interruption.
#pragma once

#include <cstddef>

namespace fw::posix {

// Reads exactly `size` bytes; false on an error or an end of file before them.
bool ReadAll(int fd, void* data, std::size_t size);

// Writes all `size` bytes; false on an error.
bool WriteAll(int fd, const void* data, std::size_t size);

}  // namespace fw::posix
