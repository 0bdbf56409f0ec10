// tesvo --batch's lines, written by the engine: hb-shape's text notation and
// the JSON Lines records, strings escaped as json.dumps escapes them with
// ensure_ascii=False (only '"', '\\' and the C0 controls; everything else as
// UTF-8).
#include "lib/lines.h"

#include <algorithm>
#include <charconv>

#include "lib/glyph_names.h"
#include "lib/utf.h"

namespace tesvo {

namespace {

template <class Int> void append_int(std::string &out, Int value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void append_bool(std::string &out, bool value) { out += value ? "true" : "false"; }

// One ASCII character inside a JSON string: json.dumps's short escapes, and
// \u00XX (lower-case hex) for the other C0 controls.
void append_ascii(std::string &out, char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    default: break;
  }
  if (static_cast<unsigned char>(c) >= 0x20) {
    out += c;
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[(c >> 4) & 0xF];
  out += kHex[c & 0xF];
}

void append_json_string(std::string &out, std::u16string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] < 0x80) {
      append_ascii(out, static_cast<char>(text[i]));
      ++i;
      continue;
    }
    const DecodedChar c = decode_utf16(text, i);
    append_utf8(out, c.cp);
    i += c.size;
  }
  out += '"';
}

// Bytes that should be UTF-8, each invalid sequence as one U+FFFD (what
// Python's "replace" decoding makes of them); `ascii` writes the ASCII ones.
template <class Ascii> void append_lossy(std::string &out, std::string_view bytes, Ascii ascii) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ascii(bytes[i]);
      ++i;
      continue;
    }
    const DecodedChar c = decode_utf8(bytes, i);
    if (c.valid)
      out.append(bytes.data() + i, c.size);
    else
      append_utf8(out, c.cp);
    i += c.size;
  }
}

void append_json_string(std::string &out, std::string_view utf8) {
  out += '"';
  append_lossy(out, utf8, [&](char c) { append_ascii(out, c); });
  out += '"';
}

// A tag's characters as the package gives them: one per byte (Latin-1).
void append_json_tag(std::string &out, OPENTYPE_TAG tag) {
  out += '"';
  for (char c : tag_text(tag)) {
    if (static_cast<unsigned char>(c) < 0x80)
      append_ascii(out, c);
    else
      append_utf8(out, static_cast<unsigned char>(c));
  }
  out += '"';
}

// A name as the package's names tuple holds it.
void append_name(std::string &out, const LineSource &source, std::uint16_t glyph) {
  if (glyph >= source.names.size()) {
    out += fallback_glyph_name(glyph);
    return;
  }
  append_lossy(out, source.names[glyph], [&](char c) { out += c; });
}

void append_json_name(std::string &out, const LineSource &source, std::uint16_t glyph) {
  if (glyph >= source.names.size()) {
    append_json_string(out, fallback_glyph_name(glyph));
    return;
  }
  append_json_string(out, source.names[glyph]);
}

// HarfBuzz's x offset: Uniscribe's offset along the advance, negated in a
// right-to-left item (wrapping as the result's 32-bit column does).
std::int32_t x_offset(const ShapedText &shaped, const ShapedGlyphRecord &g) {
  if (!shaped.items[g.item].rtl) return g.du;
  return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(g.du));
}

// The items in visual order: rule L2 of the bidi algorithm, from the highest
// level down to the lowest odd level, each maximal run at or above the level
// reversed.
std::vector<std::uint32_t> visual_items(const ShapedText &shaped) {
  std::vector<std::uint32_t> order(shaped.items.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  if (order.empty()) return order;
  auto level_at = [&](std::size_t k) { return shaped.items[order[k]].level; };
  int highest = 0, lowest = 255;
  for (const ShapedItemRecord &item : shaped.items) {
    highest = std::max<int>(highest, item.level);
    lowest = std::min<int>(lowest, item.level);
  }
  for (int level = highest; level >= (lowest | 1); --level) {
    for (std::size_t start = 0; start < order.size();) {
      if (level_at(start) < level) {
        ++start;
        continue;
      }
      std::size_t end = start;
      while (end < order.size() && level_at(end) >= level) ++end;
      const auto begin = order.begin();
      std::reverse(begin + static_cast<std::ptrdiff_t>(start), begin + static_cast<std::ptrdiff_t>(end));
      start = end;
    }
  }
  return order;
}

// The glyphs of the whole line in visual order: the items in visual order,
// each item's glyphs in their order in the result.
std::vector<std::uint32_t> visual_glyphs(const ShapedText &shaped) {
  const std::size_t items = shaped.items.size();
  std::vector<std::uint32_t> first(items + 1, 0);  // glyphs of item k: by_item[first[k]..first[k+1])
  for (const ShapedGlyphRecord &g : shaped.glyphs) ++first[g.item + 1];
  for (std::size_t k = 0; k < items; ++k) first[k + 1] += first[k];
  std::vector<std::uint32_t> by_item(shaped.glyphs.size());
  std::vector<std::uint32_t> next(first.begin(), first.end() - 1);
  for (std::size_t i = 0; i < shaped.glyphs.size(); ++i)
    by_item[next[shaped.glyphs[i].item]++] = static_cast<std::uint32_t>(i);
  std::vector<std::uint32_t> out;
  out.reserve(shaped.glyphs.size());
  for (std::uint32_t item : visual_items(shaped))
    out.insert(out.end(), by_item.begin() + first[item], by_item.begin() + first[item + 1]);
  return out;
}

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

void append_items(std::string &out, const ShapedText &shaped, const LineSource &source) {
  out += ",\"items\":[";
  for (std::size_t i = 0; i < shaped.items.size(); ++i) {
    const ShapedItemRecord &r = shaped.items[i];
    if (i > 0) out += ',';
    out += "{\"start\":";
    append_int(out, source.index.at(r.start));
    out += ",\"end\":";
    append_int(out, source.index.at(r.end));
    out += ",\"level\":";
    append_int(out, int{r.level});
    out += ",\"rtl\":";
    append_bool(out, r.rtl);
    out += ",\"script_tag\":";
    append_json_tag(out, r.script_tag);
    out += ",\"script\":";
    append_int(out, int{r.script});
    out += ",\"continues\":";
    append_bool(out, r.continues);
    out += '}';
  }
  out += ']';
}

void append_glyphs(std::string &out, const ShapedText &shaped, const LineSource &source) {
  out += ",\"glyphs\":[";
  for (std::size_t i = 0; i < shaped.glyphs.size(); ++i) {
    const ShapedGlyphRecord &g = shaped.glyphs[i];
    if (i > 0) out += ',';
    out += "{\"id\":";
    append_int(out, int{g.id});
    out += ",\"cluster\":";
    append_int(out, static_cast<std::int32_t>(source.index.at(g.cluster)));
    out += ",\"advance\":";
    append_int(out, g.advance);
    out += ",\"du\":";
    append_int(out, g.du);
    out += ",\"dv\":";
    append_int(out, g.dv);
    out += ",\"x_offset\":";
    append_int(out, x_offset(shaped, g));
    out += ",\"y_offset\":";
    append_int(out, g.dv);
    out += ",\"item\":";
    append_int(out, static_cast<std::int32_t>(g.item));
    out += ",\"name\":";
    append_json_name(out, source, g.id);
    out += '}';
  }
  out += ']';
}

void append_warnings(std::string &out, const ShapedText &shaped, const LineSource &source, std::string_view fixed) {
  if (fixed.empty() && shaped.cuts.empty()) return;
  out += ",\"warnings\":[";
  out += fixed;
  bool first = fixed.empty();
  for (const ItemCut &cut : shaped.cuts) {
    if (!first) out += ',';
    first = false;
    append_json_string(out, cut_warning(cut, source.index));
  }
  out += ']';
}

}  // namespace

std::string tag_text(OPENTYPE_TAG tag) {
  if (tag == 0) return "";
  std::string text;
  for (int i = 0; i < 4; ++i) text += static_cast<char>((tag >> (8 * i)) & 0xFF);
  return text;
}

void append_notation(std::string &out, const ShapedText &shaped, const LineSource &source, NotationParts parts) {
  out += '[';
  std::int64_t pen = 0;
  bool first = true;
  for (std::uint32_t i : visual_glyphs(shaped)) {
    const ShapedGlyphRecord &g = shaped.glyphs[i];
    if (!first) out += '|';
    first = false;
    if (parts.names)
      append_name(out, source, g.id);
    else
      append_int(out, int{g.id});
    if (parts.clusters) {
      out += '=';
      append_int(out, source.index.at(g.cluster));
    }
    if (!parts.positions) continue;
    const std::int64_t x = pen + x_offset(shaped, g), y = g.dv;
    if (x != 0 || y != 0) {
      out += '@';
      append_int(out, x);
      out += ',';
      append_int(out, y);
    }
    if (parts.advances) {
      out += '+';
      append_int(out, g.advance);
    } else {
      pen += g.advance;
    }
  }
  out += ']';
}

void append_document_record(std::string &out, std::uint64_t line, const LineSource &source,
                            std::string_view document) {
  append_record_start(out, line, json_text(source));
  out += ",\"result\":";
  out += document;
  out += '}';
}

void append_result_record(std::string &out, std::uint64_t line, const ShapedText &shaped, const LineSource &source,
                          const ResultFrame &frame) {
  const std::string text = json_text(source);
  append_record_start(out, line, text);
  out += ",\"result\":";
  out += frame.head;
  out += text;
  out += frame.options;
  append_items(out, shaped, source);
  append_glyphs(out, shaped, source);
  out += frame.location;
  append_warnings(out, shaped, source, frame.warnings);
  out += "}}";
}

void append_error_record(std::string &out, std::uint64_t line, const LineSource &source, std::string_view message) {
  append_record_start(out, line, json_text(source));
  out += ",\"error\":\"";
  append_lossy(out, message, [&](char c) { append_ascii(out, c == '\n' ? ' ' : c); });
  out += "\"}";
}

std::string cut_warning(const ItemCut &cut, const CodePointIndex &index) {
  std::string line = "characters " + std::to_string(index.at(cut.start)) + " to " + std::to_string(index.at(cut.end)) +
                     cut_reason(cut) +
                     std::to_string(cut.pieces) + " items (Item.continues), cut at break opportunities";
  if (cut.grapheme_cuts > 0)
    line += ", " + std::to_string(cut.grapheme_cuts) + " of the cuts at grapheme boundaries, where " +
            "32,768 characters had no break opportunity";
  return line;
}

}  // namespace tesvo
