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

}  // namespace vantor
