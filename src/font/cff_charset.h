// The glyph names of a CFF font: its charset's string ids, resolved through
// the standard strings and the font's String INDEX.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tesvo {

// The name of each glyph of a 'CFF ' table, indexed by glyph id, as HarfBuzz
// reads them: nothing (an empty vector) unless the table is one HarfBuzz
// accepts, is not CID-keyed and has exactly `glyph_count` CharStrings; an
// empty name for a glyph whose string id has no string. The names point
// into the table or into static storage.
std::vector<std::string_view> cff_glyph_names(std::span<const std::uint8_t> cff, std::uint32_t glyph_count);

}  // namespace tesvo
