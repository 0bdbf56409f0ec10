// Reading a font file and the few facts the result reports about it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tesvo {

// The complete content of a font file: owned for the whole request, or a
// view of bytes that the owner of this object keeps alive for its lifetime.
class FontBytes {
 public:
  FontBytes() = default;
  FontBytes(std::unique_ptr<std::uint8_t[]> data, std::size_t size)
      : data_(std::move(data)), view_(data_.get(), size) {}
  static FontBytes viewing(std::span<const std::uint8_t> bytes) {
    FontBytes out;
    out.view_ = bytes;
    return out;
  }
  std::span<const std::uint8_t> span() const { return view_; }
  const std::uint8_t *data() const { return view_.data(); }
  std::size_t size() const { return view_.size(); }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::span<const std::uint8_t> view_;
};

struct FontMetrics {
  std::uint32_t upem = 2048;
  std::uint32_t glyph_count = 0;
};

// Reads the whole file; fails with "read font {path}: {reason}".
Result<FontBytes> read_font_file(const std::string &path);

// Units per em from 'head' and glyph count from 'maxp', with defaults 2048 and 0.
FontMetrics read_font_metrics(std::span<const std::uint8_t> font);

// The Windows family name (name ID 1, else 16) of the font, if any.
std::optional<std::string> sfnt_family(std::span<const std::uint8_t> font);

// The number of faces: that of a collection, else 1.
Result<std::uint32_t> face_count(std::span<const std::uint8_t> font);

// "face index {index} out of range: the font has {count} face(s)".
std::string face_out_of_range(std::string_view index, std::uint32_t count);

// Face `index` of a font or collection as a font of its own: its table
// directory and its tables, laid out afresh. Backends take one face, the
// first of a collection, so this is how another face reaches them. A font
// that is not a collection comes back as it is (a copy).
Result<FontBytes> extract_face(std::span<const std::uint8_t> font, std::uint32_t index);

// As extract_face, checked the same way, but without a copy where none is
// needed: a font that is not a collection, and the first face of a
// collection of version 1 or 2 (which backends and the readers here take
// as the font), come back as a view of `font`, which must then outlive the
// result.
Result<FontBytes> face_bytes(std::span<const std::uint8_t> font, std::uint32_t index);

// The file name of the path without its extension; "tesvo" when there is none.
std::string file_stem_family(std::string_view path);

}  // namespace tesvo
