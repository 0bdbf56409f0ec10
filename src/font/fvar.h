// The variation axes a font's fvar table lists, as HarfBuzz takes the table.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tesvo {

// The tag of every axis of the face's fvar, in its order. Empty for a static
// font and for an fvar HarfBuzz refuses: not version 1, axes not 20 bytes
// each, instances shorter than their coordinates, or records past the end of
// the table (HarfBuzz then shapes the font as a static one).
std::vector<std::uint32_t> fvar_axis_tags(std::span<const std::uint8_t> face);

}  // namespace tesvo
