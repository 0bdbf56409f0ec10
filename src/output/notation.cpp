#include "output/notation.h"

#include <charconv>
#include <vector>

#include "json/escape.h"
#include "text/visual_order.h"

namespace tesvo {

namespace {

template <class Int> void append_int(std::string &out, Int value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void append_hex_escape(std::string &out, std::uint32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[(c >> 4) & 0xF];
  out += kHex[c & 0xF];
}

// A name with its control characters escaped (C1 ones arrive as two bytes of UTF-8).
void append_name(std::string &out, std::string_view name) {
  bool plain = true;  // printable ASCII, as nearly every name is
  for (char c : name) plain = plain && c >= 0x20 && c < 0x7F;
  if (plain) {
    out += name;
    return;
  }
  std::string text;
  append_lossy_utf8(text, name, [&](char c) { text += c; });
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      append_hex_escape(out, c);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      append_hex_escape(out, static_cast<unsigned char>(text[++i]));  // U+0080 to U+009F
    } else {
      out += text[i];
    }
  }
}

// The glyphs of the whole line in visual order: the items in visual order,
// each item's glyphs in their order in the result.
std::vector<std::uint32_t> visual_glyphs(const NotationSource &glyphs, std::span<const std::uint8_t> levels) {
  const std::size_t items = levels.size();
  std::vector<std::uint32_t> first(items + 1, 0);  // glyphs of item k: by_item[first[k]..first[k+1])
  for (std::size_t i = 0; i < glyphs.size(); ++i) ++first[glyphs.glyph(i).item + 1];
  for (std::size_t k = 0; k < items; ++k) first[k + 1] += first[k];
  std::vector<std::uint32_t> by_item(glyphs.size());
  std::vector<std::uint32_t> next(first.begin(), first.end() - 1);
  for (std::size_t i = 0; i < glyphs.size(); ++i) by_item[next[glyphs.glyph(i).item]++] = static_cast<std::uint32_t>(i);
  std::vector<std::uint32_t> out;
  out.reserve(glyphs.size());
  for (std::uint32_t item : visual_order(levels))
    out.insert(out.end(), by_item.begin() + first[item], by_item.begin() + first[item + 1]);
  return out;
}

}  // namespace

void append_notation(std::string &out, const NotationSource &glyphs, std::span<const std::uint8_t> item_levels,
                     NotationParts parts) {
  out += '[';
  std::int64_t pen = 0;
  bool first = true;
  for (std::uint32_t i : visual_glyphs(glyphs, item_levels)) {
    const NotationGlyph g = glyphs.glyph(i);
    if (!first) out += '|';
    first = false;
    if (parts.names)
      append_name(out, glyphs.name(i));
    else
      append_int(out, g.id);
    if (parts.clusters) {
      out += '=';
      append_int(out, g.cluster);
    }
    if (!parts.positions) continue;
    const std::int64_t x = pen + g.x_offset, y = g.y_offset;
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

}  // namespace tesvo
