// The order on screen of runs at bidi embedding levels: rule L2 of the Unicode
// bidi algorithm, for a line's items (each already in its own visual order).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tesvo {

// The indices of `levels` left to right: from the highest level down to the
// lowest odd level, each maximal run at or above the level reversed.
std::vector<std::uint32_t> visual_order(std::span<const std::uint8_t> levels);

}  // namespace tesvo
