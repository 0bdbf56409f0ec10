// Reading a CFF table far enough to name its glyphs, with HarfBuzz's rules
// for which tables count: HarfBuzz names no glyph of a CFF table that it
// cannot open whole (header, INDEXes, Top and Private DICTs, charset,
// encoding, CharStrings), so neither do we. Where HarfBuzz releases differ
// on a damaged table, HarfBuzz 10.2's reading (Debian 13's, the newest the
// project runs on) is the one followed: a damaged Global or local Subr INDEX
// is ignored, a Top DICT without a Private DICT is refused.
#include "font/cff_charset.h"

#include <optional>
#include <utility>
#include <vector>

#include "font/cff_dict.h"
#include "font/font_reader.h"
#include "font/glyph_name_tables.h"

namespace tesvo {

namespace {

// ---- INDEX ------------------------------------------------------------------

// A CFF INDEX: a count, an offset size and count + 1 offsets (1-based) into
// the data that follows them.
struct CffIndex {
  std::uint64_t at = 0;
  std::uint32_t count = 0;
  unsigned off_size = 0;
  std::uint32_t last = 0;  // the last offset: one past the data's end

  std::uint64_t offsets() const { return at + 3; }
  // Element data starts at data_base() + offset, offsets being 1-based.
  std::uint64_t data_base() const { return offsets() + std::uint64_t{off_size} * (count + 1) - 1; }
  // The INDEX's size as HarfBuzz computes it, in 32-bit arithmetic: an
  // INDEX whose last offset is 0 wraps around to end one byte early.
  std::uint32_t size() const {
    if (count == 0) return 2;
    return static_cast<std::uint32_t>(3 + off_size * (count + 1) + (last - 1));
  }
};

// A place at a signed offset from `base`, if it lies inside the table (its
// end included), as HarfBuzz places the structures of a CFF table.
std::optional<std::uint64_t> place(const FontReader &cff, std::uint64_t base, std::int64_t offset) {
  std::int64_t at = static_cast<std::int64_t>(base) + offset;
  if (at < 0 || static_cast<std::uint64_t>(at) > cff.size()) return std::nullopt;
  return static_cast<std::uint64_t>(at);
}

std::optional<CffIndex> read_index(const FontReader &cff, std::optional<std::uint64_t> at) {
  if (!at) return std::nullopt;
  std::optional<std::uint16_t> count = cff.u16(*at);
  if (!count) return std::nullopt;
  CffIndex index{*at, *count, 0, 0};
  if (index.count == 0) return index;
  std::optional<std::uint8_t> off_size = cff.u8(*at + 2);
  if (!off_size || *off_size < 1 || *off_size > 4) return std::nullopt;
  index.off_size = *off_size;
  if (!cff.has(index.offsets(), std::uint64_t{index.off_size} * (index.count + 1))) return std::nullopt;
  index.last = *cff.uint(index.offsets() + std::uint64_t{index.off_size} * index.count, index.off_size);
  if (!cff.has(index.data_base(), index.last)) return std::nullopt;
  return index;
}

// The INDEX that follows another one.
std::optional<CffIndex> index_after(const FontReader &cff, const CffIndex &index) {
  return read_index(cff, place(cff, index.at, static_cast<std::int32_t>(index.size())));
}

// Element i of an INDEX; empty when it is out of range or its offsets are
// out of order.
std::span<const std::uint8_t> element(const FontReader &cff, const CffIndex &index, std::uint32_t i) {
  if (i >= index.count) return {};
  std::uint32_t start = *cff.uint(index.offsets() + std::uint64_t{index.off_size} * i, index.off_size);
  std::uint32_t end = *cff.uint(index.offsets() + std::uint64_t{index.off_size} * (i + 1), index.off_size);
  if (end < start || end > index.last) return {};
  return cff.slice(index.data_base() + start, end - start).value_or(std::span<const std::uint8_t>());
}

// ---- charset and encoding -----------------------------------------------------

// The string id of every glyph from a charset of format 0, 1 or 2 at `at`,
// if the charset covers exactly the glyphs 1 .. glyph_count - 1.
std::optional<std::vector<std::uint32_t>> read_charset(const FontReader &cff, std::uint64_t at,
                                                       std::uint32_t glyph_count) {
  std::optional<std::uint8_t> format = cff.u8(at);
  if (!format || glyph_count == 0 || *format > 2) return std::nullopt;
  std::vector<std::uint32_t> sids(glyph_count, 0);
  std::uint64_t p = at + 1;
  if (*format == 0) {
    if (!cff.has(p, 2ULL * (glyph_count - 1))) return std::nullopt;
    for (std::uint32_t gid = 1; gid < glyph_count; ++gid) sids[gid] = *cff.u16(p + 2ULL * (gid - 1));
    return sids;
  }
  const unsigned count_width = *format == 1 ? 1 : 2;
  for (std::uint32_t gid = 1; gid < glyph_count;) {
    std::optional<std::uint16_t> first = cff.u16(p);
    std::optional<std::uint32_t> left = cff.uint(p + 2, count_width);
    if (!first || !left || *left + 1 > glyph_count - gid) return std::nullopt;
    for (std::uint32_t i = 0; i <= *left; ++i) sids[gid++] = *first + i;  // may pass 65535: no string
    p += 2 + count_width;
  }
  return sids;
}

// The string ids of a predefined charset (0 ISOAdobe, 1 Expert, 2 Expert
// Subset); any other id, a negative offset among them, names every glyph
// .notdef as HarfBuzz does.
std::vector<std::uint32_t> predefined_charset(std::int32_t id, std::uint32_t glyph_count) {
  std::vector<std::uint32_t> sids(glyph_count, 0);
  std::span<const std::uint16_t> table;
  if (id == 1) table = cff_expert_charset();
  if (id == 2) table = cff_expert_subset_charset();
  for (std::uint32_t gid = 0; gid < glyph_count; ++gid) {
    if (id == 0 && gid <= 228) sids[gid] = gid;
    if (gid < table.size()) sids[gid] = table[gid];
  }
  return sids;
}

// An Encoding of format 0 or 1 lies whole in the table, with its supplement.
bool encoding_fits(const FontReader &cff, std::uint64_t at) {
  std::optional<std::uint8_t> format = cff.u8(at);
  std::optional<std::uint8_t> count = cff.u8(at + 1);
  if (!format || !count || (*format & 0x7F) > 1) return false;
  const std::uint64_t entry = (*format & 0x7F) == 0 ? 1 : 2;
  if (!cff.has(at + 2, entry * *count)) return false;
  if (!(*format & 0x80)) return true;
  if (*count == 0) return false;  // HarfBuzz finds no supplement after an empty list
  std::optional<std::uint8_t> supplements = cff.u8(at + 2 + entry * *count);
  return supplements && cff.has(at + 3 + entry * *count, 3ULL * *supplements);
}

// ---- the table ------------------------------------------------------------------

struct NamingParts {
  CffIndex strings;
  std::vector<std::uint32_t> sids;
};

std::optional<NamingParts> read_naming_parts(const FontReader &cff, std::uint32_t glyph_count) {
  std::optional<std::uint8_t> major = cff.u8(0);
  if (!cff.has(0, 4) || *major != 1) return std::nullopt;
  std::optional<CffIndex> names = read_index(cff, std::uint64_t{*cff.u8(2)});
  if (!names) return std::nullopt;
  std::optional<CffIndex> top_dicts = index_after(cff, *names);
  if (!top_dicts || top_dicts->count == 0) return std::nullopt;
  std::optional<CffTopDict> top = read_cff_dict(element(cff, *top_dicts, 0), CffDictKind::Top);
  if (!top) return std::nullopt;

  NamingParts parts;
  if (top->charset > 2) {
    std::optional<std::uint64_t> at = place(cff, 0, top->charset);
    std::optional<std::vector<std::uint32_t>> sids = at ? read_charset(cff, *at, glyph_count) : std::nullopt;
    if (!sids) return std::nullopt;
    parts.sids = std::move(*sids);
  } else {
    parts.sids = predefined_charset(top->charset, glyph_count);
  }
  if (top->cid) return std::nullopt;  // HarfBuzz names no glyph of a CID-keyed font
  if (top->encoding > 1) {
    std::optional<std::uint64_t> at = place(cff, 0, top->encoding);
    if (!at || !encoding_fits(cff, *at)) return std::nullopt;
  }
  std::optional<CffIndex> strings = index_after(cff, *top_dicts);
  if (!strings) return std::nullopt;
  parts.strings = *strings;

  std::optional<CffIndex> char_strings =
      top->char_strings == 0 ? std::nullopt : read_index(cff, place(cff, 0, top->char_strings));
  if (!char_strings || char_strings->count != glyph_count) return std::nullopt;

  std::optional<std::uint64_t> private_at =
      top->private_offset == 0 ? std::nullopt : place(cff, 0, top->private_offset);
  if (!private_at || !cff.has(*private_at, top->private_size)) return std::nullopt;
  if (!read_cff_dict(*cff.slice(*private_at, top->private_size), CffDictKind::Private)) return std::nullopt;
  return parts;
}

}  // namespace

std::vector<std::string_view> cff_glyph_names(std::span<const std::uint8_t> table, std::uint32_t glyph_count) {
  FontReader cff(table);
  std::optional<NamingParts> parts = read_naming_parts(cff, glyph_count);
  if (!parts) return {};
  std::span<const std::string_view> standard = cff_standard_strings();
  std::vector<std::string_view> names(glyph_count);
  for (std::uint32_t gid = 0; gid < glyph_count; ++gid) {
    std::uint32_t sid = parts->sids[gid];
    if (sid < standard.size()) {
      names[gid] = standard[sid];
      continue;
    }
    std::span<const std::uint8_t> s = element(cff, parts->strings, static_cast<std::uint32_t>(sid - standard.size()));
    names[gid] = std::string_view(reinterpret_cast<const char *>(s.data()), s.size());
  }
  return names;
}

}  // namespace tesvo
