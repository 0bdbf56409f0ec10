// Finding a face's tables and glyph count the way HarfBuzz does, so that the
// facts read from them agree with what the backend's HarfBuzz sees.
#include "font/font_reader.h"

#include <algorithm>

namespace tesvo {

namespace {

// Where the table directory of the first face starts, when that face is of
// a kind HarfBuzz opens and its directory lies whole inside the file.
std::optional<std::uint64_t> first_face_directory(const FontReader &font) {
  std::optional<std::uint32_t> header = font.u32(0);
  if (!header) return std::nullopt;
  std::uint64_t directory = 0;
  if (*header == tag("ttcf")) {
    // A member's own version tag is not looked at.
    std::optional<std::uint16_t> major = font.u16(4);
    std::optional<std::uint32_t> faces = font.u32(8);
    if (!major || (*major != 1 && *major != 2) || !faces || *faces == 0) return std::nullopt;
    if (!font.has(12, 4ULL * *faces)) return std::nullopt;
    directory = *font.u32(12);
  } else if (*header != 0x00010000 && *header != tag("OTTO") && *header != tag("true") && *header != tag("typ1")) {
    return std::nullopt;
  }
  std::optional<std::uint16_t> count = font.u16(directory + 4);
  if (!count || !font.has(directory, 12 + 16ULL * *count)) return std::nullopt;
  return directory;
}

}  // namespace

std::span<const std::uint8_t> face_table(std::span<const std::uint8_t> bytes, std::uint32_t table_tag) {
  FontReader font(bytes);
  std::optional<std::uint64_t> directory = first_face_directory(font);
  if (!directory) return {};
  const std::uint32_t count = *font.u16(*directory + 4);
  auto record_tag = [&](std::uint32_t i) { return *font.u32(*directory + 12 + 16ULL * i); };

  std::optional<std::uint32_t> found;
  if (count < 16) {
    for (std::uint32_t i = 0; i < count && !found; ++i)
      if (record_tag(i) == table_tag) found = i;
  } else {
    // HarfBuzz trusts a long directory to be sorted, and misses a table in
    // one that is not; so do we.
    std::int64_t low = 0, high = static_cast<std::int64_t>(count) - 1;
    while (low <= high && !found) {
      std::int64_t mid = (low + high) / 2;
      std::uint32_t at = record_tag(static_cast<std::uint32_t>(mid));
      if (table_tag < at) high = mid - 1;
      else if (table_tag > at) low = mid + 1;
      else found = static_cast<std::uint32_t>(mid);
    }
  }
  if (!found) return {};
  const std::uint64_t record = *directory + 12 + 16ULL * *found;
  const std::uint64_t offset = *font.u32(record + 8);
  const std::uint64_t length = *font.u32(record + 12);
  if (offset >= bytes.size()) return {};
  return bytes.subspan(offset, std::min<std::uint64_t>(length, bytes.size() - offset));
}

std::uint32_t face_glyph_count(std::span<const std::uint8_t> font) {
  FontReader maxp(face_table(font, tag("maxp")));
  std::optional<std::uint32_t> version = maxp.u32(0);
  if (!version || !maxp.has(0, 6)) return 0;
  const bool whole = *version == 0x00005000 || (*version >> 16 == 1 && maxp.has(0, 32));
  return whole ? *maxp.u16(4) : 0;
}

}  // namespace tesvo
