// UTF-8 and UTF-16: decoding, encoding and converting. Invalid input never
// fails: each maximal invalid subsequence becomes one U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tesvo {

struct DecodedChar {
  char32_t cp;       // U+FFFD for an invalid sequence
  std::size_t size;  // code units consumed (bytes of UTF-8), at least 1
  bool valid = true;
};

DecodedChar decode_utf8(std::string_view text, std::size_t pos);
void append_utf8(std::string &out, char32_t cp);
// A lone surrogate is invalid and takes one code unit.
DecodedChar decode_utf16(std::u16string_view text, std::size_t pos);
// `cp` must be a Unicode scalar value.
void append_utf16(std::u16string &out, char32_t cp);
std::string utf8_lossy(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);
std::u16string utf8_to_utf16(std::string_view text);

}  // namespace tesvo
