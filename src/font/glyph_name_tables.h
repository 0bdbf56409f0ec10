// The standard glyph names that 'post' and CFF refer to by number, from
// generated tables (tools/gen_glyph_name_tables.py).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tesvo {

// The 258 Macintosh glyph names in their standard order.
std::span<const std::string_view> macintosh_glyph_names();

// The 391 standard strings of CFF, by string id.
std::span<const std::string_view> cff_standard_strings();

// The predefined Expert and Expert Subset charsets: string ids by glyph id.
std::span<const std::uint16_t> cff_expert_charset();
std::span<const std::uint16_t> cff_expert_subset_charset();

}  // namespace tesvo
