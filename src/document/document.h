// Glyph records, stage entries and the result document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "json/value.h"

namespace tesvo {

// One shaped glyph, in logical order, with its cluster relative to its item.
struct GlyphRecord {
  std::uint16_t g;
  std::uint64_t cl;
  std::int32_t dx;
  std::int32_t dy;
  std::int32_t ax;
};

// An empty list of glyph records, room made for `reserve` of them.
Value glyph_list(std::size_t reserve = 0);

// The output copy of an item's records: reversed for a right-to-left item so
// that it reads left to right, clusters made absolute by adding start.
Value item_glyphs(std::span<const GlyphRecord> records, bool rtl, std::uint64_t start);
// The same records added to the end of an existing glyph list.
void append_item_glyphs(Value &list, std::span<const GlyphRecord> records, bool rtl, std::uint64_t start);

// The records of one trace stage. Clusters come from the item's records when
// the stage has as many glyphs, else the glyphs are spread evenly over the
// item's characters; then reversed and offset as the item's own.
Value stage_glyphs(std::span<const std::uint16_t> ids, std::span<const GlyphRecord> item,
                   std::uint64_t item_chars, bool rtl, std::uint64_t start);

Value stage_entry(std::string_view m, Value glyphs);

struct DocumentParts {
  std::uint32_t upem;
  std::uint32_t glyph_count;
  Value stages;
  Value final_glyphs;
  Value messages;
  std::string_view family;
  std::string_view path;
};

Value result_document(DocumentParts parts);

}  // namespace tesvo
