// Helpers shared by the fuzz targets: a failing check that libFuzzer records as a crash, and
// the plan that splits a fuzz input into pieces of sizes taken from the input itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// Reports the broken invariant and aborts, so that libFuzzer saves the input as a finding.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace fuzz {

// The input starts with a header: one byte whose low four bits give a count K, then K bytes,
// the piece sizes, used in turn and again from the first when they run out. Without sizes the
// payload after the header is one piece. A size byte of 0 is an empty piece; when a whole
// round of sizes is empty, the rest of the payload follows as one piece.
class ChunkPlan {
 public:
  // Takes the header off the front of the input.
  ChunkPlan(const std::uint8_t*& data, std::size_t& size) {
    if (size == 0) return;
    std::size_t count = data[0] & 0x0F;
    for (++data, --size; count > 0 && size > 0; --count, ++data, --size) m_sizes.push_back(*data);
  }

  // The length of the next piece when `remaining` payload bytes are left.
  std::size_t NextLength(std::size_t remaining) {
    if (m_sizes.empty()) return remaining;
    const std::size_t length = std::min<std::size_t>(m_sizes[m_next], remaining);
    m_roundHadData = m_roundHadData || m_sizes[m_next] != 0;
    if (++m_next == m_sizes.size()) {
      m_next = 0;
      if (!m_roundHadData) m_sizes.clear();
      m_roundHadData = false;
    }
    return length;
  }

 private:
  std::vector<std::uint8_t> m_sizes;
  std::size_t m_next = 0;
  bool m_roundHadData = false;
};

}  // namespace fuzz
