// The paragraph direction of a text: the level the backend itemizes it at.
// Two automatic rules live here side by side: the compatibility call's (any
// code unit of the right-to-left blocks) and the structured results' (the
// first strong character, as the Unicode bidi algorithm decides).
#pragma once

#include <cstdint>
#include <string_view>

#include "base/result.h"

namespace tesvo {

enum class ParagraphDirection {
  first_strong,   // the first strong character outside isolates; left to right without one
  any_rtl_block,  // right to left when any code unit lies in a right-to-left block
  ltr,
  rtl,
};

// "auto", "ltr" or "rtl", the first meaning the first strong character.
Result<ParagraphDirection> parse_direction(std::string_view direction);

// The compatibility call's direction option: "rtl", "ltr", anything else the
// right-to-left block scan.
ParagraphDirection compat_direction(std::string_view direction);

// 1 for right to left, 0 for left to right: the paragraph level of the text.
std::uint16_t paragraph_level(ParagraphDirection direction, std::u16string_view text);

// The compatibility call's rule: 1 for "rtl", 0 for "ltr"; otherwise 1 when the
// text holds a code unit of the Hebrew, Arabic, Syriac, Thaana, NKo, ...
// blocks or their presentation forms.
std::uint16_t direction_is_rtl(std::string_view direction, std::u16string_view text);

// The first strong character (L against R or AL) outside isolates (LRI, RLI,
// FSI up to their PDI) is right to left; false without one.
bool first_strong_is_rtl(std::u16string_view text);

}  // namespace tesvo
