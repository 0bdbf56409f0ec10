#include "json/escape.h"

namespace tesvo {

void append_json_string(std::string &out, std::string_view utf8) {
  out += '"';
  append_lossy_utf8(out, utf8, [&](char c) { append_json_byte(out, c); });
  out += '"';
}

void append_json_string(std::string &out, std::u16string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] < 0x80) {
      append_json_byte(out, static_cast<char>(text[i]));
      ++i;
      continue;
    }
    const DecodedChar c = decode_utf16(text, i);
    append_utf8(out, c.cp);
    i += c.size;
  }
  out += '"';
}

}  // namespace tesvo
