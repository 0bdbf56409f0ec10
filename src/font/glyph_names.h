// Glyph names as HarfBuzz gives them, and so as hb-shape prints them: from
// 'post' (formats 1 and 2), else from the charset of a CFF font, else
// "gid" and the glyph id.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tesvo {

// The longest name hb-shape prints: it formats each name into 128 bytes.
inline constexpr std::size_t kMaxGlyphNameBytes = 127;

// The name of every glyph of a font, indexed by glyph id; one entry per
// glyph of the font's glyph count as HarfBuzz counts it ('maxp'). The font is
// one face (the first face of a collection is read). For each glyph the
// first of these that names it wins, as in HarfBuzz: 'post' version 1 or 2,
// then a CFF font's charset (not a CID-keyed font's), then "gid<N>". Names
// are the font's bytes up to the first NUL, at most kMaxGlyphNameBytes; a
// name is not necessarily UTF-8. A damaged table gives the later sources'
// names, never an error. The font is read once: O(glyphs) overall.
std::vector<std::string> glyph_names(std::span<const std::uint8_t> font);

// The name HarfBuzz gives a glyph without one: "gid" and the glyph id.
std::string fallback_glyph_name(std::uint32_t glyph);

}  // namespace tesvo
