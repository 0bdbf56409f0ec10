// The font readers on arbitrary bytes (metrics, family, glyph names, layout
// tags): they must never read outside the font, and every fact has a fallback.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "font/font.h"
#include "font/font_reader.h"
#include "font/glyph_names.h"
#include "font/layout_tags.h"
#include "text/utf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // Copy into an exact-size heap block so that AddressSanitizer sees any
  // read past the end.
  auto *copy = static_cast<std::uint8_t *>(std::malloc(size == 0 ? 1 : size));
  if (size > 0) std::memcpy(copy, data, size);
  std::span<const std::uint8_t> font(copy, size);
  tesvo::FontMetrics metrics = tesvo::read_font_metrics(font);
  if (metrics.upem > 0xFFFF || metrics.glyph_count > 0xFFFF) std::abort();
  std::optional<std::string> family = tesvo::sfnt_family(font);
  if (family && !tesvo::is_valid_utf8(*family)) std::abort();
  std::string stem = tesvo::file_stem_family(std::string_view(reinterpret_cast<const char *>(copy), size));
  if (!tesvo::is_valid_utf8(stem)) std::abort();
  // One name per glyph, each one hb-shape could print.
  std::vector<std::string> names = tesvo::glyph_names(font);
  if (names.size() != tesvo::face_glyph_count(font)) std::abort();
  for (const std::string &name : names)
    if (name.size() > tesvo::kMaxGlyphNameBytes || name.find('\0') != std::string::npos) std::abort();
  tesvo::LayoutTags layout = tesvo::layout_tags(font);
  for (const auto *scripts : {&layout.gsub, &layout.gpos})
    for (const tesvo::LayoutScript &script : *scripts) {
      if (script.tag.size() != 4) std::abort();
      for (const std::string &language : script.languages)
        if (language.size() != 4) std::abort();
    }
  std::free(copy);
  return 0;
}
