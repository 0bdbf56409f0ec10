// Fonts built byte by byte for the tests: an sfnt header, table records and
// the tables the engine reads ('head', 'maxp', 'name', 'post', 'CFF ' and the
// ScriptLists of 'GSUB' and 'GPOS'), with every offset and count open to
// being overridden so that broken fonts are easy to make.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace font_builder {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes &b, std::size_t at, std::uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

inline void put32(Bytes &b, std::size_t at, std::uint32_t v) {
  put16(b, at, static_cast<std::uint16_t>(v >> 16));
  put16(b, at + 2, static_cast<std::uint16_t>(v));
}

inline void put_tag(Bytes &b, std::size_t at, std::string_view tag) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(tag[i]);
}

inline Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A string as UTF-16 big-endian, as name records hold it.
inline Bytes utf16be(std::u16string_view text) {
  Bytes b;
  for (char16_t u : text) {
    b.push_back(static_cast<std::uint8_t>(u >> 8));
    b.push_back(static_cast<std::uint8_t>(u));
  }
  return b;
}

// 'head': 54 bytes, unitsPerEm at 18. A shorter table can be asked for.
inline Bytes head(std::uint16_t upem, std::size_t size = 54) {
  Bytes b(54, 0);
  put32(b, 0, 0x00010000);
  put16(b, 18, upem);
  b.resize(size);
  return b;
}

// 'maxp' version 0.5: 6 bytes, numGlyphs at 4.
inline Bytes maxp(std::uint16_t glyphs, std::size_t size = 6) {
  Bytes b(6, 0);
  put32(b, 0, 0x00005000);
  put16(b, 4, glyphs);
  b.resize(size);
  return b;
}

// 'post' header: 32 bytes, the version first.
inline Bytes post(std::uint32_t version) {
  Bytes b(32, 0);
  put32(b, 0, version);
  return b;
}

// 'post' version 2: the header, the glyph count, the name indices and the
// Pascal strings (each written with its own length byte).
inline Bytes post2(const std::vector<std::uint16_t> &indices, const std::vector<std::string> &strings) {
  Bytes b = post(0x00020000);
  put16(b, 32, static_cast<std::uint16_t>(indices.size()));
  for (std::size_t i = 0; i < indices.size(); ++i) put16(b, 34 + 2 * i, indices[i]);
  for (const std::string &s : strings) {
    b.push_back(static_cast<std::uint8_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
  }
  return b;
}

// A CFF INDEX with 1-byte offsets (2-byte ones when the data needs them).
inline Bytes cff_index(const std::vector<Bytes> &items) {
  Bytes b;
  put16(b, 0, static_cast<std::uint16_t>(items.size()));
  if (items.empty()) return b;
  std::size_t total = 1;
  for (const Bytes &item : items) total += item.size();
  const std::uint8_t off_size = total > 0xFF ? 2 : 1;
  b.push_back(off_size);
  std::size_t offset = 1;
  for (std::size_t i = 0; i <= items.size(); ++i) {
    if (off_size == 2)
      put16(b, b.size(), static_cast<std::uint16_t>(offset));
    else
      b.push_back(static_cast<std::uint8_t>(offset));
    if (i < items.size()) offset += items[i].size();
  }
  for (const Bytes &item : items) b.insert(b.end(), item.begin(), item.end());
  return b;
}

// A DICT operand as a five-byte integer, so that offsets have a fixed size.
inline Bytes dict_int(std::int32_t v) {
  Bytes b{29};
  put32(b, 1, static_cast<std::uint32_t>(v));
  return b;
}

// A CFF table: header, Name INDEX, Top DICT INDEX, String INDEX, an empty
// Global Subr INDEX, then the charset, CharStrings (one endchar each) and a
// Private DICT. The Top DICT's charset entry is `charset_offset` when given
// (0, 1, 2: the predefined charsets), else where `charset` is stored.
struct CffParts {
  std::uint16_t glyphs = 1;
  std::vector<std::string> strings;
  Bytes charset;
  std::optional<std::int32_t> charset_offset;
  Bytes top_extra;                      // more Top DICT entries, written first
  std::optional<std::uint16_t> char_strings_count;  // default: glyphs
  Bytes private_dict{0x8b, 0x15};       // nominalWidthX 0
};

inline Bytes cff(const CffParts &parts) {
  Bytes strings_index;
  {
    std::vector<Bytes> items;
    for (const std::string &s : parts.strings) items.push_back(bytes(s));
    strings_index = cff_index(items);
  }
  std::vector<Bytes> glyphs(parts.char_strings_count.value_or(parts.glyphs), Bytes{14});
  const Bytes char_strings = cff_index(glyphs);
  const std::size_t top_size = parts.top_extra.size() + 6 + 6 + 11;
  const Bytes name_index = cff_index({bytes("A")});
  const std::size_t top_index_size = cff_index({Bytes(top_size, 0)}).size();
  const std::size_t charset_at = 4 + name_index.size() + top_index_size + strings_index.size() + 2;
  const std::size_t char_strings_at = charset_at + parts.charset.size();
  const std::size_t private_at = char_strings_at + char_strings.size();

  Bytes top = parts.top_extra;
  auto op = [&top](const Bytes &operand, std::initializer_list<std::uint8_t> code) {
    top.insert(top.end(), operand.begin(), operand.end());
    top.insert(top.end(), code);
  };
  op(dict_int(parts.charset_offset.value_or(static_cast<std::int32_t>(charset_at))), {15});
  op(dict_int(static_cast<std::int32_t>(char_strings_at)), {17});
  Bytes private_operands = dict_int(static_cast<std::int32_t>(parts.private_dict.size()));
  Bytes private_offset = dict_int(static_cast<std::int32_t>(private_at));
  private_operands.insert(private_operands.end(), private_offset.begin(), private_offset.end());
  op(private_operands, {18});

  Bytes b{1, 0, 4, 1};
  for (const Bytes &part : {name_index, cff_index({top}), strings_index, Bytes{0, 0}, parts.charset, char_strings,
                            parts.private_dict})
    b.insert(b.end(), part.begin(), part.end());
  return b;
}

struct LayoutScriptParts {
  std::string tag;
  bool default_language = false;
  std::vector<std::string> languages;
  std::optional<std::uint16_t> offset = std::nullopt;          // default: where the script is stored
  std::optional<std::uint16_t> default_offset = std::nullopt;  // default: where its LangSys is stored
};

// A 'GSUB' or 'GPOS' of version 1.0 with a ScriptList and nothing else.
inline Bytes layout_table(const std::vector<LayoutScriptParts> &scripts, std::uint32_t version = 0x00010000) {
  Bytes b;
  put32(b, 0, version);
  put16(b, 4, 10);  // ScriptList right after the header; no features, no lookups
  put16(b, 6, 0);
  put16(b, 8, 0);
  Bytes list;
  put16(list, 0, static_cast<std::uint16_t>(scripts.size()));
  list.resize(2 + 6 * scripts.size());
  for (std::size_t i = 0; i < scripts.size(); ++i) {
    const LayoutScriptParts &s = scripts[i];
    // The Script: its header and records, then its LangSys tables (the
    // default one first), each six bytes.
    const std::size_t count = s.languages.size();
    const std::size_t first = 4 + 6 * count;
    const std::size_t defaults = s.default_language ? 1 : 0;
    Bytes script(first + 6 * (defaults + count), 0);
    if (s.default_language) put16(script, 0, s.default_offset.value_or(static_cast<std::uint16_t>(first)));
    put16(script, 2, static_cast<std::uint16_t>(count));
    for (std::size_t j = 0; j < count; ++j) {
      put_tag(script, 4 + 6 * j, s.languages[j]);
      put16(script, 4 + 6 * j + 4, static_cast<std::uint16_t>(first + 6 * (defaults + j)));
    }
    put_tag(list, 2 + 6 * i, s.tag);
    put16(list, 2 + 6 * i + 4, s.offset.value_or(static_cast<std::uint16_t>(list.size())));
    list.insert(list.end(), script.begin(), script.end());
  }
  b.insert(b.end(), list.begin(), list.end());
  return b;
}

struct NameRecord {
  std::uint16_t platform = 3;
  std::uint16_t encoding = 1;
  std::uint16_t language = 0x0409;
  std::uint16_t name_id = 1;
  Bytes text;
  std::optional<std::uint16_t> length;  // default: the size of text
  std::optional<std::uint16_t> offset;  // default: where text is stored
};

inline NameRecord windows_name(std::uint16_t name_id, std::u16string_view text) {
  NameRecord r;
  r.name_id = name_id;
  r.text = utf16be(text);
  return r;
}

// 'name' format 0: count at 2, stringOffset at 4, 12-byte records from 6.
inline Bytes name(const std::vector<NameRecord> &records, std::optional<std::uint16_t> count = {}) {
  Bytes b;
  const std::size_t string_offset = 6 + 12 * records.size();
  put16(b, 0, 0);
  put16(b, 2, count.value_or(static_cast<std::uint16_t>(records.size())));
  put16(b, 4, static_cast<std::uint16_t>(string_offset));
  Bytes strings;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const NameRecord &r = records[i];
    std::size_t at = 6 + 12 * i;
    put16(b, at, r.platform);
    put16(b, at + 2, r.encoding);
    put16(b, at + 4, r.language);
    put16(b, at + 6, r.name_id);
    put16(b, at + 8, r.length.value_or(static_cast<std::uint16_t>(r.text.size())));
    put16(b, at + 10, r.offset.value_or(static_cast<std::uint16_t>(strings.size())));
    strings.insert(strings.end(), r.text.begin(), r.text.end());
  }
  b.resize(string_offset);
  b.insert(b.end(), strings.begin(), strings.end());
  return b;
}

struct Table {
  Table(std::string table_tag, Bytes table_data, std::optional<std::uint32_t> table_offset = {},
        std::optional<std::uint32_t> table_length = {})
      : tag(std::move(table_tag)), data(std::move(table_data)), offset(table_offset), length(table_length) {}
  std::string tag;
  Bytes data;
  std::optional<std::uint32_t> offset;  // default: where data is stored
  std::optional<std::uint32_t> length;  // default: the size of data
};

// An sfnt whose offsets are counted from `base` (the font's place inside a
// collection). Tables follow the records, each but the last padded to four
// bytes, so a file can end exactly at the end of its last table.
inline Bytes sfnt(std::string_view header_tag, const std::vector<Table> &tables,
                  std::optional<std::uint16_t> num_tables = {}, std::size_t base = 0) {
  Bytes b;
  put_tag(b, 0, header_tag);
  put16(b, 4, num_tables.value_or(static_cast<std::uint16_t>(tables.size())));
  b.resize(12 + 16 * tables.size());
  for (std::size_t i = 0; i < tables.size(); ++i) {
    const Table &t = tables[i];
    while (b.size() % 4 != 0) b.push_back(0);
    std::size_t at = 12 + 16 * i;
    put_tag(b, at, t.tag);
    put32(b, at + 8, t.offset.value_or(static_cast<std::uint32_t>(base + b.size())));
    put32(b, at + 12, t.length.value_or(static_cast<std::uint32_t>(t.data.size())));
    b.insert(b.end(), t.data.begin(), t.data.end());
  }
  return b;
}

inline Bytes truetype(const std::vector<Table> &tables) { return sfnt(std::string_view("\0\1\0\0", 4), tables); }

// A collection of one font: the 'ttcf' header, then the font at offset 16.
inline Bytes collection(const std::vector<Table> &tables, std::string_view font_tag = std::string_view("\0\1\0\0", 4)) {
  Bytes b;
  put_tag(b, 0, "ttcf");
  put32(b, 4, 0x00010000);
  put32(b, 8, 1);
  put32(b, 12, 16);
  Bytes font = sfnt(font_tag, tables, {}, 16);
  b.insert(b.end(), font.begin(), font.end());
  return b;
}

}  // namespace font_builder
