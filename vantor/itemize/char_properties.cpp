// The ICU lookups behind CharFacts.
#include "char_properties.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

namespace vantor {
namespace {

UScriptCode icu_script(UChar32 c) {
  UErrorCode status = U_ZERO_ERROR;
  const UScriptCode script = uscript_getScript(c, &status);
  return U_FAILURE(status) ? USCRIPT_UNKNOWN : script;
}

// Bidi classes that can take a character of a paragraph with an even level
// off that level. None is given to a character below the Hebrew block,
// which spares most Latin, Greek and Cyrillic text the lookup.
bool needs_resolution(UChar32 c, UCharDirection direction) {
  if (c < 0x0590) return false;
  switch (direction) {
    case U_RIGHT_TO_LEFT:
    case U_RIGHT_TO_LEFT_ARABIC:
    case U_ARABIC_NUMBER:
    case U_LEFT_TO_RIGHT_EMBEDDING:
    case U_LEFT_TO_RIGHT_OVERRIDE:
    case U_RIGHT_TO_LEFT_EMBEDDING:
    case U_RIGHT_TO_LEFT_OVERRIDE:
    case U_POP_DIRECTIONAL_FORMAT:
    case U_LEFT_TO_RIGHT_ISOLATE:
    case U_RIGHT_TO_LEFT_ISOLATE:
    case U_FIRST_STRONG_ISOLATE:
    case U_POP_DIRECTIONAL_ISOLATE:
      return true;
    default:
      return false;
  }
}

bool is_neutral(UScriptCode script) {
  return script == USCRIPT_COMMON || script == USCRIPT_INHERITED || script == USCRIPT_UNKNOWN ||
         script == USCRIPT_INVALID_CODE;
}

}  // namespace

CharFacts facts_of(UChar32 c) {
  CharFacts facts;
  facts.c = c;
  const UCharDirection direction = u_charDirection(c);
  const auto bracket =
      static_cast<UBidiPairedBracketType>(u_getIntPropertyValue(c, UCHAR_BIDI_PAIRED_BRACKET_TYPE));
  const UScriptCode script = icu_script(c);
  facts.direction = static_cast<std::uint8_t>(direction);
  facts.bracket = static_cast<std::uint8_t>(bracket);
  facts.script = static_cast<std::int16_t>(script);
  unsigned flags = 0;
  if (needs_resolution(c, direction)) flags |= kNeedsResolution;
  if (bracket != U_BPT_NONE) flags |= kPairedBracket;
  if (bracket == U_BPT_OPEN && direction == U_OTHER_NEUTRAL) flags |= kOpener;
  // Every control concerned lies at U+202D..U+2069.
  if (c >= 0x202A && (direction == U_LEFT_TO_RIGHT_OVERRIDE || direction == U_RIGHT_TO_LEFT_OVERRIDE)) {
    flags |= kOverride;
  }
  if (c >= 0x202A && direction == U_POP_DIRECTIONAL_ISOLATE) flags |= kPopIsolate;
  if (is_neutral(script)) flags |= kNeutralScript;
  if (c > 0xFFFF) flags |= kSupplementary;
  facts.flags = static_cast<std::uint8_t>(flags);
  return facts;
}

}  // namespace vantor
