// The itemizer's UTF-16 decoder.
#include "utf16.h"

namespace vantor {
namespace {

constexpr bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

CodePoints decode_utf16(std::u16string_view text) {
  CodePoints out;
  out.chars.reserve(text.size());
  out.offsets.reserve(text.size() + 1);
  std::size_t i = 0;
  while (i < text.size()) {
    const char16_t unit = text[i];
    out.offsets.push_back(static_cast<int>(i));
    if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      out.chars.push_back(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      i += 2;
      continue;
    }
    const bool lone = is_high_surrogate(unit) || is_low_surrogate(unit);
    out.chars.push_back(lone ? kReplacement : unit);
    ++i;
  }
  out.offsets.push_back(static_cast<int>(text.size()));
  return out;
}

}  // namespace vantor
