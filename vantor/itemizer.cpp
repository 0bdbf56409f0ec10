#include "itemizer.h"

#include <fribidi.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>

#include "scripts.h"
#include "utf16.h"

namespace vantor {
namespace {

using Levels = std::vector<unsigned>;

// How many open brackets the script resolution remembers.
constexpr std::size_t kBracketDepth = 64;

// Resolves one paragraph with FriBidi; the paragraph's bidi types must be
// filled in. Writes one level per character.
void resolve_paragraph(const FriBidiChar *chars, const FriBidiCharType *types, int length,
                       bool rtl, FriBidiLevel *levels) {
  std::vector<FriBidiBracketType> brackets(static_cast<std::size_t>(length));
  fribidi_get_bracket_types(chars, length, types, brackets.data());
  FriBidiParType direction = rtl ? FRIBIDI_PAR_RTL : FRIBIDI_PAR_LTR;
  if (fribidi_get_par_embedding_levels_ex(types, brackets.data(), length, &direction, levels) ==
      0) {
    throw std::bad_alloc();
  }
}

// Bidi types that can take a character of a left-to-right paragraph off
// level 0.
bool needs_resolution(FriBidiCharType type) {
  return FRIBIDI_IS_RTL(type) || FRIBIDI_IS_EXPLICIT(type) || FRIBIDI_IS_ISOLATE(type) ||
         FRIBIDI_IS_ARABIC(type);
}

// Bidi levels per code point. FriBidi resolves a single paragraph per call,
// so the text is cut after every paragraph separator and each paragraph is
// resolved with the requested direction.
Levels resolve_levels(const std::vector<char32_t> &chars, const ItemizeOptions &options) {
  const std::size_t count = chars.size();
  if (options.override_direction) return Levels(count, options.base_level);

  std::vector<FriBidiChar> text(chars.begin(), chars.end());
  std::vector<FriBidiCharType> types(count);
  fribidi_get_bidi_types(text.data(), static_cast<FriBidiStrIndex>(count), types.data());

  std::vector<FriBidiLevel> raw(count, 0);
  const bool rtl = (options.base_level & 1U) != 0;
  // In a left-to-right paragraph without right-to-left letters, Arabic
  // numbers and explicit embeddings, isolates or overrides, every character
  // resolves to the paragraph's level 0: numbers and neutrals take the
  // direction of the left-to-right text around them. Such text, the bulk of
  // long texts in many scripts, skips the resolution.
  std::size_t start = rtl || std::any_of(types.begin(), types.end(), needs_resolution) ? 0 : count;
  while (start < count) {
    std::size_t end = start;
    while (end < count && types[end] != FRIBIDI_TYPE_BS) ++end;
    if (end < count) ++end;  // the separator belongs to the paragraph it ends
    resolve_paragraph(text.data() + start, types.data() + start, static_cast<int>(end - start),
                      rtl, raw.data() + start);
    start = end;
  }

  // FriBidi knows paragraph levels 0 and 1 only; deeper starting levels
  // lift the whole paragraph by their even part.
  const unsigned lift = options.base_level & ~1U;
  Levels levels(count);
  for (std::size_t i = 0; i < count; ++i) levels[i] = static_cast<unsigned>(raw[i]) + lift;
  return levels;
}

// Resolved script per code point. Neutral characters (Common, Inherited,
// Unknown) take the script before them; those at the start of the text wait
// for the first character with a script of its own. A closing paired bracket
// takes the script of its opening bracket, and the text after it continues in
// that script.
std::vector<hb_script_t> resolve_scripts(const std::vector<char32_t> &chars,
                                         const std::vector<hb_script_t> &own_scripts) {
  std::vector<hb_script_t> scripts(chars.size(), HB_SCRIPT_INVALID);
  std::vector<std::size_t> waiting;  // neutral characters before the first real script
  std::vector<std::pair<FriBidiBracketType, std::size_t>> open_brackets;
  hb_script_t current = HB_SCRIPT_INVALID;

  const auto assign = [&](std::size_t i, hb_script_t script) {
    scripts[i] = script;
    if (script == HB_SCRIPT_INVALID) waiting.push_back(i);
  };

  for (std::size_t i = 0; i < chars.size(); ++i) {
    const hb_script_t own = own_scripts[i];
    if (!is_neutral_script(own)) {
      if (current == HB_SCRIPT_INVALID) {
        for (std::size_t w : waiting) scripts[w] = own;
        waiting.clear();
      }
      current = own;
      scripts[i] = own;
      continue;
    }
    const FriBidiBracketType bracket = fribidi_get_bracket(chars[i]);
    if (bracket == FRIBIDI_NO_BRACKET) {
      assign(i, current);
      continue;
    }
    if (FRIBIDI_IS_BRACKET_OPEN(bracket)) {
      // Only the innermost brackets are remembered, which keeps the search
      // for a partner short whatever the text.
      if (open_brackets.size() == kBracketDepth) open_brackets.erase(open_brackets.begin());
      open_brackets.emplace_back(FRIBIDI_BRACKET_ID(bracket), i);
      assign(i, current);
      continue;
    }
    std::size_t depth = open_brackets.size();
    while (depth > 0 && open_brackets[depth - 1].first != FRIBIDI_BRACKET_ID(bracket)) --depth;
    if (depth == 0) {
      assign(i, current);
      continue;
    }
    const hb_script_t paired = scripts[open_brackets[depth - 1].second];
    open_brackets.resize(depth - 1);
    assign(i, paired);
    if (paired != HB_SCRIPT_INVALID) current = paired;
  }
  // A text without any real script stays Common throughout.
  for (std::size_t w : waiting) scripts[w] = HB_SCRIPT_COMMON;
  return scripts;
}

std::vector<hb_script_t> own_scripts(const std::vector<char32_t> &chars) {
  hb_unicode_funcs_t *unicode = hb_unicode_funcs_get_default();
  std::vector<hb_script_t> scripts(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) scripts[i] = hb_unicode_script(unicode, chars[i]);
  return scripts;
}

}  // namespace

std::vector<ItemRun> itemize(std::u16string_view text, const ItemizeOptions &options) {
  const CodePoints decoded = decode_utf16(text);
  const Levels levels = resolve_levels(decoded.chars, options);
  const std::vector<hb_script_t> own = own_scripts(decoded.chars);
  const std::vector<hb_script_t> scripts = resolve_scripts(decoded.chars, own);

  std::vector<ItemRun> items;
  for (std::size_t i = 0; i < decoded.chars.size(); ++i) {
    const bool continues = !items.empty() && items.back().level == levels[i] &&
                           items.back().script == scripts[i];
    if (!continues) items.push_back(ItemRun{decoded.offsets[i], levels[i], scripts[i], true});
    if (!is_neutral_script(own[i])) items.back().neutral_only = false;
  }
  return items;
}

}  // namespace vantor
