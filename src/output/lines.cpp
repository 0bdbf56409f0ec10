// tesvo --batch's lines, written by the engine: hb-shape's text notation and
// the JSON Lines records, strings escaped as json.dumps escapes them with
// ensure_ascii=False (only '"', '\\' and the C0 controls; everything else as
// UTF-8).
#include "output/lines.h"

#include <algorithm>
#include <charconv>

#include "font/glyph_names.h"
#include "json/escape.h"
#include "output/package_json.h"
#include "text/utf.h"

namespace tesvo {

namespace {

template <class Int> void append_int(std::string &out, Int value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// HarfBuzz's x offset: Uniscribe's offset along the advance, negated in a
// right-to-left item (wrapping as the result's 32-bit column does).
std::int32_t x_offset(const ShapedText &shaped, const ShapedGlyphRecord &g) {
  if (!shaped.items[g.item].rtl) return g.du;
  return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(g.du));
}

// A shaped text's glyphs as the notation reads them.
class ShapedNotation final : public NotationSource {
 public:
  ShapedNotation(const ShapedText &shaped, const LineSource &source) : shaped_(shaped), source_(source) {}
  std::size_t size() const override { return shaped_.glyphs.size(); }
  NotationGlyph glyph(std::size_t i) const override {
    const ShapedGlyphRecord &g = shaped_.glyphs[i];
    return {g.id, source_.index.at(g.cluster), g.advance, x_offset(shaped_, g), g.dv, g.item};
  }
  std::string_view name(std::size_t i) const override {
    const std::uint16_t id = shaped_.glyphs[i].id;
    if (id < source_.names.size()) return source_.names[id];
    fallback_ = fallback_glyph_name(id);
    return fallback_;
  }

 private:
  const ShapedText &shaped_;
  const LineSource &source_;
  mutable std::string fallback_;  // the name of a glyph beyond the font's names
};

// `{"line":N,"text":"..."`, the text given as its JSON string.
void append_record_start(std::string &out, std::uint64_t line, std::string_view text) {
  out += "{\"line\":";
  append_int(out, line);
  out += ",\"text\":";
  out += text;
}

std::string json_text(const LineSource &source) {
  std::string text;
  append_json_string(text, source.text);
  return text;
}

// A tag's characters as the package gives them: one per byte (Latin-1), in UTF-8.
std::string tag_utf8(OPENTYPE_TAG tag) {
  std::string out;
  for (char c : tag_text(tag)) append_utf8(out, static_cast<unsigned char>(c));
  return out;
}

// A shaped text's records as the package's schema reads them.
class ShapedRows final : public ResultRows {
 public:
  ShapedRows(const ShapedText &shaped, const LineSource &source) : shaped_(shaped), source_(source) {}
  std::size_t item_count() const override { return shaped_.items.size(); }
  JsonItem item(std::size_t i) const override {
    const ShapedItemRecord &r = shaped_.items[i];
    return {source_.index.at(r.start), source_.index.at(r.end), r.level, r.rtl, tag_utf8(r.script_tag), r.script,
            r.continues};
  }
  std::size_t glyph_count() const override { return shaped_.glyphs.size(); }
  JsonGlyph glyph(std::size_t i) const override {
    const ShapedGlyphRecord &g = shaped_.glyphs[i];
    std::string_view name;
    if (g.id < source_.names.size()) {
      name = source_.names[g.id];
    } else {
      fallback_ = fallback_glyph_name(g.id);
      name = fallback_;
    }
    return {g.id, static_cast<std::int32_t>(source_.index.at(g.cluster)), g.advance, g.du, g.dv,
            x_offset(shaped_, g), g.dv, static_cast<std::int32_t>(g.item), g.props, name};
  }

 private:
  const ShapedText &shaped_;
  const LineSource &source_;
  mutable std::string fallback_;  // the name of a glyph beyond the font's names
};

}  // namespace

std::string tag_text(OPENTYPE_TAG tag) {
  if (tag == 0) return "";
  std::string text;
  for (int i = 0; i < 4; ++i) text += static_cast<char>((tag >> (8 * i)) & 0xFF);
  return text;
}

void append_notation(std::string &out, const ShapedText &shaped, const LineSource &source, NotationParts parts) {
  std::vector<std::uint8_t> levels;
  levels.reserve(shaped.items.size());
  for (const ShapedItemRecord &item : shaped.items) levels.push_back(item.level);
  append_notation(out, ShapedNotation(shaped, source), levels, parts);
}

void append_document_record(std::string &out, std::uint64_t line, const LineSource &source,
                            std::string_view document) {
  append_record_start(out, line, json_text(source));
  out += ",\"result\":";
  out += document;
  out += '}';
}

void append_result_record(std::string &out, std::uint64_t line, const ShapedText &shaped, const LineSource &source,
                          const HeadJson &head, std::span<const std::string> warnings) {
  std::vector<std::string> cuts;
  for (const ItemCut &cut : shaped.cuts) cuts.push_back(cut_warning(cut, source.index));
  const std::string text = json_text(source);
  append_record_start(out, line, text);
  out += ",\"result\":";
  const JsonProps props = json_props(shaped);
  append_result_json(out, head, ResultBody{text, ShapedRows(shaped, source), warnings, cuts, nullptr, &props});
  out += '}';
}

void append_error_record(std::string &out, std::uint64_t line, const LineSource &source, std::string_view message) {
  append_record_start(out, line, json_text(source));
  out += ",\"error\":\"";
  append_lossy_utf8(out, message, [&](char c) { append_json_byte(out, c == '\n' ? ' ' : c); });
  out += "\"}";
}

std::string cut_warning(const ItemCut &cut, const CodePointIndex &index) {
  std::string line = "characters " + std::to_string(index.at(cut.start)) + " to " + std::to_string(index.at(cut.end)) +
                     cut_reason(cut) +
                     std::to_string(cut.pieces) + " items (Item.continues)" + cut_places(cut);
  if (cut.grapheme_cuts > 0)
    line += ", " + std::to_string(cut.grapheme_cuts) + " of the cuts at grapheme boundaries, where " +
            (cut.reason == CutReason::trace ? "a stretch of the piece's length" : "32,768 characters") +
            " had no break opportunity";
  return line;
}

}  // namespace tesvo
