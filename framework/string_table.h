// The compiled-in string table of builds without native resources (generated from the
// resource script at build time).
#pragma once

#include <cstddef>

namespace fw::detail {

struct StringTableEntry {
  unsigned id;
  const char* text;  // Windows-1252 bytes
  std::size_t length;
};

// Sorted by id.
extern const StringTableEntry kStringTable[];
extern const std::size_t kStringTableSize;

}  // namespace fw::detail
