// Glyph names from 'post' and CFF, chosen glyph by glyph in HarfBuzz's order.
#include "font/glyph_names.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "font/cff_charset.h"
#include "font/font_reader.h"
#include "font/glyph_name_tables.h"

namespace tesvo {

namespace {

std::string_view text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char *>(bytes.data()), bytes.size()};
}

// The names 'post' gives, indexed by glyph id (an empty name: none), as
// HarfBuzz reads the table: version 1 names the first 258 glyphs with the
// Macintosh names; version 2 names the glyphs of its index list, an index
// past 257 picking the Pascal strings that fit whole in the table (at most
// 65535 of them); a table shorter than its header or its index list, or of
// any other version (2.5 and 3 included), names no glyph.
std::vector<std::string_view> post_glyph_names(std::span<const std::uint8_t> table) {
  constexpr std::uint64_t kHeaderSize = 32;
  FontReader post(table);
  std::span<const std::string_view> macintosh = macintosh_glyph_names();
  std::optional<std::uint32_t> version = post.u32(0);
  if (!version || !post.has(0, kHeaderSize)) return {};
  if (*version == 0x00010000) return {macintosh.begin(), macintosh.end()};
  if (*version != 0x00020000) return {};
  std::optional<std::uint16_t> count = post.u16(kHeaderSize);
  if (!count || !post.has(kHeaderSize + 2, 2ULL * *count)) return {};

  std::vector<std::string_view> strings;
  for (std::uint64_t at = kHeaderSize + 2 + 2ULL * *count; strings.size() < 65535;) {
    std::optional<std::uint8_t> length = post.u8(at);
    if (!length || !post.has(at, 1ULL + *length)) break;
    strings.push_back(text(*post.slice(at + 1, *length)));
    at += 1 + *length;
  }
  std::vector<std::string_view> names(*count);
  for (std::uint32_t gid = 0; gid < *count; ++gid) {
    std::uint16_t index = *post.u16(kHeaderSize + 2 + 2ULL * gid);
    if (index < macintosh.size())
      names[gid] = macintosh[index];
    else if (index - macintosh.size() < strings.size())
      names[gid] = strings[index - macintosh.size()];
  }
  return names;
}

// What hb-shape prints of a name: up to the first NUL, at most its buffer.
std::string printed(std::string_view name) {
  name = name.substr(0, std::min(name.find('\0'), kMaxGlyphNameBytes));
  return std::string(name);
}

}  // namespace

std::string fallback_glyph_name(std::uint32_t glyph) { return "gid" + std::to_string(glyph); }

std::vector<std::string> glyph_names(std::span<const std::uint8_t> font) {
  const std::uint32_t count = face_glyph_count(font);
  std::vector<std::string_view> post = post_glyph_names(face_table(font, tag("post")));
  std::vector<std::string_view> cff;
  // CFF is read only when 'post' leaves some glyph unnamed.
  bool post_names_all = post.size() >= count && std::none_of(post.begin(), post.begin() + count,
                                                             [](std::string_view n) { return n.empty(); });
  if (!post_names_all) cff = cff_glyph_names(face_table(font, tag("CFF ")), count);

  std::vector<std::string> names;
  names.reserve(count);
  for (std::uint32_t gid = 0; gid < count; ++gid) {
    if (gid < post.size() && !post[gid].empty())
      names.push_back(printed(post[gid]));
    else if (gid < cff.size() && !cff[gid].empty())
      names.push_back(printed(cff[gid]));
    else
      names.push_back(fallback_glyph_name(gid));
  }
  return names;
}

}  // namespace tesvo
