// UTF-16 decoding for the itemizer: code points with their code-unit offsets.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace vantor {

struct CodePoints {
  std::vector<char32_t> chars;
  // offsets[i] is the code-unit index where chars[i] starts; offsets has one
  // more entry than chars, holding the text's length.
  std::vector<int> offsets;
};

// Decodes text; a lone surrogate becomes U+FFFD and keeps its one code unit.
CodePoints decode_utf16(std::u16string_view text);

// The code point at text[*i], decoded as decode_utf16 decodes it; *i moves
// past it.
inline char32_t next_code_point(std::u16string_view text, std::size_t *i) {
  const char16_t unit = text[*i];
  ++*i;
  if ((unit & 0xF800) != 0xD800) return unit;
  if ((unit & 0xFC00) == 0xD800 && *i < text.size() && (text[*i] & 0xFC00) == 0xDC00) {
    const char16_t trail = text[(*i)++];
    return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (static_cast<char32_t>(trail) - 0xDC00);
  }
  return 0xFFFD;  // a lone surrogate
}

}  // namespace vantor
