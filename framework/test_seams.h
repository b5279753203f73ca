// Seams through which tests replace the clocks (null restores the real ones). Not for use by
// the add-on itself.
#pragma once

#include <cstdint>
#include <functional>

namespace fw::testing {

void SetTickCountSource(std::function<std::uint32_t()> source);
void SetTimeSource(std::function<std::int64_t()> source);

}  // namespace fw::testing
