// UTF-16 decoding for the itemizer: code points with their code-unit offsets.
#pragma once

#include <unicode/utf16.h>

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
  UChar32 c;
  U16_NEXT(text.data(), *i, text.size(), c);
  return U_IS_SURROGATE(c) ? 0xFFFD : static_cast<char32_t>(c);  // ICU hands a lone surrogate back as it is
}

}  // namespace vantor
