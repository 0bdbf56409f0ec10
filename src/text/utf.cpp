// UTF-8 and UTF-16 decoders and encoders, and the conversions built on them.
#include "text/utf.h"

namespace tesvo {

namespace {
constexpr char32_t kReplacement = 0xFFFD;
bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Writes the one or two code units of the scalar value cp at `to`; returns
// where they end.
char16_t *put_utf16(char16_t *to, char32_t cp) {
  if (cp < 0x10000) {
    *to++ = static_cast<char16_t>(cp);
    return to;
  }
  const char32_t v = cp - 0x10000;
  *to++ = static_cast<char16_t>(0xD800 + (v >> 10));
  *to++ = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
  return to;
}
}  // namespace

DecodedChar decode_utf8(std::string_view text, std::size_t pos) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1};

  std::size_t need;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kReplacement, 1, false};
  }

  std::size_t i = pos + 1;
  for (std::size_t k = 0; k < need; ++k, ++i) {
    if (i >= text.size()) return {kReplacement, i - pos, false};
    unsigned char b = byte(i);
    bool valid = k == 0 ? (b >= low && b <= high) : is_continuation(b);
    if (!valid) return {kReplacement, i - pos, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1};
}

void append_utf8(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

DecodedChar decode_utf16(std::u16string_view text, std::size_t pos) {
  const char16_t unit = text[pos];
  if (unit < 0xD800 || unit > 0xDFFF) return {unit, 1};
  const bool paired = unit <= 0xDBFF && pos + 1 < text.size() && text[pos + 1] >= 0xDC00 && text[pos + 1] <= 0xDFFF;
  if (!paired) return {kReplacement, 1, false};
  return {0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{text[pos + 1]} - 0xDC00), 2};
}

void append_utf16(std::u16string &out, char32_t cp) {
  char16_t units[2];
  out.append(units, put_utf16(units, cp));
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Copy runs of ASCII directly; decode everything else.
    std::size_t run = pos;
    while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
    out.append(bytes.data() + pos, run - pos);
    pos = run;
    if (pos >= bytes.size()) break;
    DecodedChar d = decode_utf8(bytes, pos);
    if (!d.valid)
      append_utf8(out, kReplacement);
    else
      out.append(bytes.data() + pos, d.size);
    pos += d.size;
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    DecodedChar d = decode_utf8(bytes, pos);
    if (!d.valid) return false;
    pos += d.size;
  }
  return true;
}

std::u16string utf8_to_utf16(std::string_view text) {
  // At most one code unit per byte: written in place, then cut to length.
  std::u16string out(text.size(), u'\0');
  char16_t *to = out.data();
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
      *to++ = lead;
      ++pos;
      continue;
    }
    // Two bytes, as most letters beyond Latin are: decoded here.
    const unsigned char next = pos + 1 < text.size() ? static_cast<unsigned char>(text[pos + 1]) : 0;
    if (lead >= 0xC2 && lead <= 0xDF && is_continuation(next)) {
      *to++ = static_cast<char16_t>(((lead & 0x1F) << 6) | (next & 0x3F));
      pos += 2;
      continue;
    }
    DecodedChar d = decode_utf8(text, pos);
    pos += d.size;
    to = put_utf16(to, d.cp);
  }
  out.resize(static_cast<std::size_t>(to - out.data()));
  return out;
}

}  // namespace tesvo
