// The paragraph direction rules: explicit, the compatibility call's block
// scan, and the first strong character.
#include "text/paragraph.h"

#include <string>

#include "text/features.h"
#include "text/unicode_tables.h"
#include "text/utf.h"

namespace tesvo {

namespace {

bool in_rtl_block(char16_t u) {
  return (u >= 0x0590 && u <= 0x08FF) || (u >= 0xFB1D && u <= 0xFDFF) || (u >= 0xFE70 && u <= 0xFEFC);
}

std::uint16_t any_rtl_block(std::u16string_view text) {
  for (char16_t u : text)
    if (in_rtl_block(u)) return 1;
  return 0;
}

}  // namespace

Result<ParagraphDirection> parse_direction(std::string_view direction) {
  if (direction == "auto") return ParagraphDirection::first_strong;
  if (direction == "ltr") return ParagraphDirection::ltr;
  if (direction == "rtl") return ParagraphDirection::rtl;
  return fail("bad direction " + quoted(direction) + ": expected \"auto\", \"ltr\" or \"rtl\"");
}

ParagraphDirection compat_direction(std::string_view direction) {
  if (direction == "rtl") return ParagraphDirection::rtl;
  if (direction == "ltr") return ParagraphDirection::ltr;
  return ParagraphDirection::any_rtl_block;
}

std::uint16_t paragraph_level(ParagraphDirection direction, std::u16string_view text) {
  switch (direction) {
    case ParagraphDirection::rtl: return 1;
    case ParagraphDirection::ltr: return 0;
    case ParagraphDirection::any_rtl_block: return any_rtl_block(text);
    case ParagraphDirection::first_strong: break;
  }
  return first_strong_is_rtl(text) ? 1 : 0;
}

std::uint16_t direction_is_rtl(std::string_view direction, std::u16string_view text) {
  return paragraph_level(compat_direction(direction), text);
}

bool first_strong_is_rtl(std::u16string_view text) {
  int isolates = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const DecodedChar c = decode_utf16(text, pos);
    pos += c.size;
    if (c.cp >= 0x2066 && c.cp <= 0x2068) {
      ++isolates;
    } else if (c.cp == 0x2069) {
      if (isolates > 0) --isolates;
    } else if (isolates == 0) {
      if (StrongBidi strong = strong_bidi(c.cp); strong != StrongBidi::none) return strong == StrongBidi::rtl;
    }
  }
  return false;
}

}  // namespace tesvo
