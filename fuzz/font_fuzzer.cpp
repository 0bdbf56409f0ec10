// The font readers on arbitrary bytes: they must never read outside the
// font, and every fact has a fallback.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "lib/font.h"
#include "lib/utf.h"

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
  std::free(copy);
  return 0;
}
