// The one way the engine reads font data: big-endian values, each checked
// against the end of the bytes it was given, and the tables of a face found as
// HarfBuzz finds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tesvo {

// Big-endian reads, each checked against the end of the bytes.
class FontReader {
 public:
  FontReader() = default;
  explicit FontReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }
  std::span<const std::uint8_t> bytes() const { return bytes_; }
  // True when [offset, offset + length) lies inside the bytes.
  bool has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  std::optional<std::uint8_t> u8(std::uint64_t offset) const {
    if (!has(offset, 1)) return std::nullopt;
    return bytes_[offset];
  }
  std::optional<std::uint16_t> u16(std::uint64_t offset) const {
    if (!has(offset, 2)) return std::nullopt;
    return static_cast<std::uint16_t>(bytes_[offset] << 8 | bytes_[offset + 1]);
  }
  // An unsigned value of 1 to 4 bytes (CFF offsets).
  std::optional<std::uint32_t> uint(std::uint64_t offset, unsigned width) const {
    if (width < 1 || width > 4 || !has(offset, width)) return std::nullopt;
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = value << 8 | bytes_[offset + i];
    return value;
  }
  std::optional<std::uint32_t> u32(std::uint64_t offset) const { return uint(offset, 4); }
  // The bytes [offset, offset + length), or nothing when they are not all there.
  std::optional<std::span<const std::uint8_t>> slice(std::uint64_t offset, std::uint64_t length) const {
    if (!has(offset, length)) return std::nullopt;
    return bytes_.subspan(offset, length);
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

constexpr std::uint32_t tag(const char (&t)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(t[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(t[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(t[2])) << 8 |
         static_cast<unsigned char>(t[3]);
}

// The table `table_tag` of a font (the first face of a collection) as HarfBuzz
// finds it: a table directory that does not fit in the file has no tables; a
// directory of fewer than 16 tables is searched in order, a longer one by
// binary search over its tags; the table is cut at the end of the file.
// Empty when there is no such table.
std::span<const std::uint8_t> face_table(std::span<const std::uint8_t> font, std::uint32_t table_tag);

// The glyph count of a font as HarfBuzz counts it: 'maxp' numGlyphs when the
// table is version 0.5 (6 bytes) or 1.x (32 bytes), else 0.
std::uint32_t face_glyph_count(std::span<const std::uint8_t> font);

}  // namespace tesvo
