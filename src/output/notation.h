// hb-shape's text notation of a shaped line, `[name=cluster@dx,dy+advance|...]`:
// the whole line in visual order (items placed by their bidi levels, rule L2),
// clusters as code point indices, offsets and advances in HarfBuzz's
// convention. Without advances each glyph's offset counts from the line's
// start, as hb-shape prints it. A name's control characters (C0, DEL and C1)
// are written as \xHH, so that a hostile font cannot send a terminal escape
// sequences or break a line in two. The one writer of the notation: tesvo --batch
// writes it from the engine's records, Result.to_text from a result's glyphs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tesvo {

// hb-shape's switches: --no-glyph-names, --no-clusters, --no-positions,
// --no-advances turn the parts off.
struct NotationParts {
  bool names = true;
  bool clusters = true;
  bool positions = true;
  bool advances = true;
};

// A glyph as the notation shows it: the cluster already a code point index,
// offsets in HarfBuzz's convention (x positive right).
struct NotationGlyph {
  std::uint32_t id;
  std::int64_t cluster;
  std::int32_t advance;
  std::int32_t x_offset;
  std::int32_t y_offset;
  std::uint32_t item;  // below the number of item levels
};

// The glyphs of a line in their result order (items in logical order, each
// item's glyphs in its visual order), and their names.
class NotationSource {
 public:
  virtual ~NotationSource() = default;
  virtual std::size_t size() const = 0;
  virtual NotationGlyph glyph(std::size_t i) const = 0;
  // UTF-8 (an invalid sequence is written as U+FFFD), valid until the next call.
  virtual std::string_view name(std::size_t i) const = 0;
};

void append_notation(std::string &out, const NotationSource &glyphs, std::span<const std::uint8_t> item_levels,
                     NotationParts parts);

}  // namespace tesvo
