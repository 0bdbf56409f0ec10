// Fonts built byte by byte for the tests: an sfnt header, table records and
// the few tables the engine reads ('head', 'maxp', 'name'), with every offset
// and count open to being overridden so that broken fonts are easy to make.
#pragma once

#include <cstdint>
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
