// Break opportunities of a run of text, as ScriptBreak reports them: from
// ICU's line, word and grapheme break rules.
#pragma once

#include <span>
#include <string_view>

#include "abi/usp10.h"

namespace vantor {

// One SCRIPT_LOGATTR per UTF-16 code unit of `text`; false when ICU cannot
// open its break rules.
bool find_breaks(std::u16string_view text, std::span<SCRIPT_LOGATTR> out);

}  // namespace vantor
