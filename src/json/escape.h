// How a JSON string escapes a byte, as json.dumps writes it with
// ensure_ascii=False: '"', '\\' and the C0 controls only (short forms where
// JSON has them, else \u00XX in lower-case hex); every other byte as it is.
// Both writers of JSON text (the value tree's and the batch lines') escape
// through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "text/utf.h"

namespace tesvo {

constexpr bool needs_json_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// True when one of the eight bytes at `p` needs an escape.
inline bool any_json_escape(const char *p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101U;
  constexpr std::uint64_t kHighs = 0x8080808080808080U;
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  // A byte's high bit survives in (x - 0x01...) & ~x & 0x80... exactly when
  // the byte is below 0x01 (a zero), or for w below 0x20 with 0x20 in
  // place of 0x01; bytes with their own high bit set are masked off by ~w.
  const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  const std::uint64_t quote = w ^ (kOnes * '"');
  const std::uint64_t backslash = w ^ (kOnes * '\\');
  return (control | ((quote - kOnes) & ~quote & kHighs) | ((backslash - kOnes) & ~backslash & kHighs)) != 0;
}

inline constexpr std::size_t kJsonEscapeMax = 6;

// Writes the escape of a byte that needs one at `to` (at most kJsonEscapeMax
// bytes) and returns its length.
inline std::size_t json_escape(unsigned char c, char *to) {
  static constexpr char kHex[] = "0123456789abcdef";
  char short_form = 0;
  switch (c) {
    case '"': short_form = '"'; break;
    case '\\': short_form = '\\'; break;
    case 0x08: short_form = 'b'; break;
    case 0x09: short_form = 't'; break;
    case 0x0A: short_form = 'n'; break;
    case 0x0C: short_form = 'f'; break;
    case 0x0D: short_form = 'r'; break;
    default: break;
  }
  to[0] = '\\';
  if (short_form != 0) {
    to[1] = short_form;
    return 2;
  }
  to[1] = 'u';
  to[2] = '0';
  to[3] = '0';
  to[4] = kHex[c >> 4];
  to[5] = kHex[c & 0xF];
  return 6;
}

// One byte of UTF-8 text inside a JSON string.
inline void append_json_byte(std::string &out, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (!needs_json_escape(byte)) {
    out += c;
    return;
  }
  char escaped[kJsonEscapeMax];
  out.append(escaped, json_escape(byte, escaped));
}

// A JSON string, quotes included, of UTF-8 text: each invalid sequence as one
// U+FFFD (what Python's "replace" decoding makes of it).
void append_json_string(std::string &out, std::string_view utf8);
// The same of UTF-16 text (which the engine has already checked).
void append_json_string(std::string &out, std::u16string_view text);

// UTF-8 text with each invalid sequence as one U+FFFD; `ascii` writes the
// ASCII bytes.
template <class Ascii> void append_lossy_utf8(std::string &out, std::string_view bytes, Ascii ascii) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ascii(bytes[i]);
      ++i;
      continue;
    }
    const DecodedChar c = decode_utf8(bytes, i);
    if (c.valid)
      out.append(bytes.data() + i, c.size);
    else
      append_utf8(out, c.cp);
    i += c.size;
  }
}

}  // namespace tesvo
