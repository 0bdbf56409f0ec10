// Bidi levels of a text: ICU's resolution, with the corrections the bidi
// algorithm asks for where ICU departs from it.
#pragma once

#include <unicode/ubidi.h>

#include <string_view>
#include <vector>

#include "char_properties.h"
#include "itemizer.h"

namespace vantor {

// Bidi level per code unit; a character's level is that of its first unit.
// Every paragraph of the text (paragraph separators end one) is resolved
// at the caller's level, whatever it is.
std::vector<UBiDiLevel> resolve_levels(std::u16string_view text, const TextFacts &facts,
                                       const ItemizeOptions &options, CharProperties &properties);

}  // namespace vantor
