// The itemizer's UTF-16 decoder.
#include "utf16.h"

namespace vantor {

CodePoints decode_utf16(std::u16string_view text) {
  CodePoints out;
  out.chars.reserve(text.size());
  out.offsets.reserve(text.size() + 1);
  for (std::size_t i = 0; i < text.size();) {
    out.offsets.push_back(static_cast<int>(i));
    out.chars.push_back(next_code_point(text, &i));
  }
  out.offsets.push_back(static_cast<int>(text.size()));
  return out;
}

}  // namespace vantor
