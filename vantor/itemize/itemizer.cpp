// The itemizer: the items that a text's bidi levels (bidi_levels.h) and
// script runs (script_runs.h) split it into.
#include "itemizer.h"

#include <unicode/ubidi.h>
#include <unicode/uscript.h>

#include <cstddef>
#include <span>
#include <vector>

#include "bidi_levels.h"
#include "char_properties.h"
#include "script_runs.h"
#include "utf16.h"

namespace vantor {
namespace {

hb_script_t to_hb_script(UScriptCode script) {
  return hb_script_from_string(uscript_getShortName(script), -1);
}

// Levels and scripts are found for each character's first code unit; the
// second unit of a surrogate pair gets them too, so that items_of can run
// over code units.
void share_with_trailing_units(std::u16string_view text, std::vector<UBiDiLevel> *levels,
                               std::vector<UScriptCode> *scripts) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    next_code_point(text, &i);
    if (i - start == 2) {
      (*levels)[start + 1] = (*levels)[start];
      (*scripts)[start + 1] = (*scripts)[start];
    }
  }
}

// Items in order from the levels and scripts, both per code unit and the
// same for both units of a surrogate pair.
std::vector<ItemRun> items_of(std::u16string_view text, std::span<const UBiDiLevel> levels,
                              std::span<const UScriptCode> scripts, CharProperties &properties) {
  std::vector<ItemRun> items;
  // The last script converted: neighbouring items mostly share one.
  UScriptCode converted = USCRIPT_INVALID_CODE;
  hb_script_t hb_script = HB_SCRIPT_INVALID;
  for (std::size_t i = 0; i < text.size();) {
    const UBiDiLevel level = levels[i];
    const UScriptCode script = scripts[i];
    if (script != converted) {
      converted = script;
      hb_script = to_hb_script(script);
    }
    ItemRun item{static_cast<int>(i), level, hb_script, true};
    const auto continues = [&](std::size_t at) { return levels[at] == level && scripts[at] == script; };
    // Character by character while the item holds only neutral ones, then
    // unit by unit.
    while (i < text.size() && item.neutral_only && continues(i)) {
      const auto c = static_cast<UChar32>(next_code_point(text, &i));
      item.neutral_only = (properties.of(c).flags & kNeutralScript) != 0;
    }
    while (i < text.size() && continues(i)) ++i;
    items.push_back(item);
  }
  return items;
}

}  // namespace

std::vector<ItemRun> itemize(std::u16string_view text, const ItemizeOptions &options) {
  CharProperties properties;
  // One pass over the text gives the scripts and what the bidi resolution
  // below needs to do.
  TextFacts facts;
  std::vector<UScriptCode> scripts = resolve_scripts(text, properties, facts);
  std::vector<UBiDiLevel> levels = resolve_levels(text, facts, options, properties);
  if (facts.has(kSupplementary)) share_with_trailing_units(text, &levels, &scripts);
  return items_of(text, levels, scripts, properties);
}

}  // namespace vantor
