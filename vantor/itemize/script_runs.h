// Script runs: the script of every character of a text, with the rules for
// neutral characters, Script_Extensions and paired brackets.
#pragma once

#include <unicode/uscript.h>

#include <string_view>
#include <vector>

#include "char_properties.h"

namespace vantor {

// The script of every character, kept at its first code unit (the second
// unit of a surrogate pair holds USCRIPT_INVALID_CODE). Characters of the
// Common, Inherited and Unknown scripts take the script of the run around
// them; a text without any character of a script of its own is Common
// throughout. The same pass over the text adds every character's facts to
// `facts`, for the bidi resolution, so that a long text is read once.
std::vector<UScriptCode> resolve_scripts(std::u16string_view text, CharProperties &properties, TextFacts &facts);

}  // namespace vantor
