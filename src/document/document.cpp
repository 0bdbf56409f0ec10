// The result document: glyph records as compact record arrays, stage entries,
// and the document's top-level keys.
#include "document/document.h"

#include <algorithm>
#include <cstdint>

#include "base/result.h"

namespace tesvo {

namespace {

// The keys of a glyph record, in byte order.
constexpr std::string_view kGlyphKeys[] = {"ax", "ay", "cl", "dx", "dy", "flags", "g"};

// Glyph lists are record arrays: one block of integers for all their records.
// These are the cells of one record, in key order. Clusters are indexes into
// a text of at most INT_MAX code units.
void glyph_cells(std::uint16_t g, std::uint64_t cl, std::int32_t dx, std::int32_t dy, std::int32_t ax,
                 std::int64_t *cells) {
  if (cl > static_cast<std::uint64_t>(INT64_MAX)) throw EnginePanic("glyph cluster out of range");
  cells[0] = ax;
  cells[1] = 0;
  cells[2] = static_cast<std::int64_t>(cl);
  cells[3] = dx;
  cells[4] = dy;
  cells[5] = 0;
  cells[6] = g;
}

}  // namespace

Value glyph_list(std::size_t reserve) { return Value::records(kGlyphKeys, reserve); }

void append_item_glyphs(Value &list, std::span<const GlyphRecord> records, bool rtl, std::uint64_t start) {
  const std::size_t n = records.size();
  list.add_records(n, std::size(kGlyphKeys), [&](std::size_t i, std::int64_t *cells) {
    const GlyphRecord &r = records[rtl ? n - 1 - i : i];
    glyph_cells(r.g, r.cl + start, r.dx, r.dy, r.ax, cells);
  });
}

Value item_glyphs(std::span<const GlyphRecord> records, bool rtl, std::uint64_t start) {
  Value out = glyph_list(records.size());
  append_item_glyphs(out, records, rtl, start);
  return out;
}

Value stage_glyphs(std::span<const std::uint16_t> ids, std::span<const GlyphRecord> item,
                   std::uint64_t item_chars, bool rtl, std::uint64_t start) {
  std::uint64_t n = ids.size();
  auto cluster = [&](std::uint64_t k) -> std::uint64_t {
    if (n == item.size()) return item[k].cl;
    // n > 0 here: stages without glyphs are never recorded.
    return std::min(item_chars - 1, k * item_chars / n);
  };
  Value out = glyph_list(ids.size());
  out.add_records(n, std::size(kGlyphKeys), [&](std::size_t i, std::int64_t *cells) {
    const std::uint64_t k = rtl ? n - 1 - i : i;
    glyph_cells(ids[k], cluster(k) + start, 0, 0, 0, cells);
  });
  return out;
}

Value stage_entry(std::string_view m, Value glyphs) {
  Value entry = Value::object(4);
  entry.insert("depth", Value::uinteger(0));
  entry.insert("effective", Value::boolean(true));
  entry.insert("glyphs", std::move(glyphs));
  entry.insert("m", Value::string(m));
  return entry;
}

Value result_document(DocumentParts parts) {
  Value font_info = Value::object(2);
  font_info.insert("family", Value::string(parts.family));
  font_info.insert("path", Value::string(parts.path));

  Value doc = Value::object(7);
  doc.insert("upem", Value::uinteger(parts.upem));
  doc.insert("glyph_count", Value::uinteger(parts.glyph_count));
  doc.insert("engine", Value::string("uniscribe"));
  doc.insert("stages", std::move(parts.stages));
  doc.insert("final", std::move(parts.final_glyphs));
  doc.insert("messages", std::move(parts.messages));
  doc.insert("font_info", std::move(font_info));
  return doc;
}

}  // namespace tesvo
