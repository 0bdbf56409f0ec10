// The shaping of one item, shared by the item loop (run.cpp) and the pieces
// a long item is cut into (pieces.cpp): the run's own, used nowhere else.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "shape/run.h"

namespace tesvo {

inline constexpr std::size_t kNoCut = std::numeric_limits<std::size_t>::max();
// The longest piece a long traced item is traced as, in UTF-16 code units.
inline constexpr std::uint64_t kTracedPieceChars = 2048;
inline constexpr const char *kGlyphOverflow = "ScriptShapeOpenType: glyph buffer overflow";

struct Item {
  std::size_t index;
  SCRIPT_ANALYSIS analysis;  // as itemized
  OPENTYPE_TAG itemizer_tag;
  std::uint64_t start;
  std::uint64_t end;
  bool continues = false;    // a piece of the item before it
  bool whole_trace = false;  // traced as it is, even when long: a piece already
  bool runs_bounded = false; // its runs of one grapheme cluster were looked for (and cut)
};

// The buffers of one item's shaping, sized from its length.
struct ShapedItem {
  std::vector<WORD> log_clusters;
  std::vector<SCRIPT_CHARPROP> char_props;
  std::vector<WORD> glyphs;
  std::vector<SCRIPT_GLYPHPROP> glyph_props;
  int capacity = 0;  // cMaxGlyphs of the successful attempt
  int glyph_count = 0;
  bool overflowed = false;  // more glyphs than the largest buffer
};

// The work buffers of an item, kept from one item to the next so that a text
// of many items does not allocate them anew for each.
struct ItemBuffers {
  ShapedItem shaped;
  std::vector<int> advances;
  std::vector<GOFFSET> offsets;
  std::vector<std::uint64_t> first;
  std::vector<GlyphRecord> records;
  ABC abc{};  // of the last item placed, when the run asks for them
};

// The script tag the item is shaped with.
OPENTYPE_TAG choose_script_tag(ShapeRun &run, const Item &item);

// Shapes and places the item with `tag`, traced when run.tracing.on, into
// buffers.records: logical order, clusters relative to the item. An item the
// largest glyph buffer cannot hold fails with buffers.shaped.overflowed set.
Result<std::monostate> shape_records(ShapeRun &run, std::u16string_view text, const Item &item, OPENTYPE_TAG tag,
                                     const FeatureList &features, ItemBuffers &buffers);

// Shapes the item into the sink, as pieces where the run cuts long items;
// `cut` is the entry of run.cuts whose pieces it is one of.
Result<std::monostate> run_item(ShapeRun &run, std::u16string_view text, const Item &item,
                                const FeatureList &features, ItemBuffers &buffers, ItemSink &sink,
                                std::size_t cut = kNoCut);

// An item too long for one Uniscribe item, shaped as pieces (pieces.cpp).
Result<std::monostate> run_pieces(ShapeRun &run, std::u16string_view text, const Item &item,
                                  const FeatureList &features, ItemBuffers &buffers, ItemSink &sink,
                                  std::size_t cut);

// Where an item's runs of more than kLongestMarkRun characters that go on one
// grapheme cluster are cut (offsets in the item, ascending): after every
// kLongestMarkRun of them. Empty for an item without such a run.
std::vector<std::size_t> mark_run_cuts(std::u16string_view chars);

// An item cut where mark_run_cuts says, each piece shaped as an item (pieces.cpp).
Result<std::monostate> mark_pieces(ShapeRun &run, std::u16string_view text, const Item &item,
                                   const FeatureList &features, ItemBuffers &buffers, ItemSink &sink,
                                   std::span<const std::size_t> cuts);

// A long traced item, traced as pieces whose glyphs are the item's (pieces.cpp).
Result<std::monostate> trace_pieces(ShapeRun &run, std::u16string_view text, const Item &item,
                                    const FeatureList &features, ItemBuffers &buffers, ItemSink &sink,
                                    std::size_t cut);

}  // namespace tesvo
