// Bidi levels from ICU with the corrections the bidi algorithm asks for: the
// bracket pairing stack's depth, nonspacing marks after brackets, and
// isolates inside directional overrides.
#include "bidi_levels.h"

#include <unicode/ubidi.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "utf16.h"

namespace vantor {
namespace {

// How many openers the bidi algorithm's bracket pairing stack holds.
constexpr std::size_t kPairingDepth = 63;

struct BidiCloser {
  void operator()(UBiDi *bidi) const { ubidi_close(bidi); }
};
using BidiPtr = std::unique_ptr<UBiDi, BidiCloser>;

void check(UErrorCode status) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) throw std::runtime_error(std::string("ICU: ") + u_errorName(status));
}

// The bidi algorithm pairs brackets with a stack of 63 openers and stops
// pairing for the rest of the sequence when an opener finds it full; ICU
// goes on pairing. Where that happens in a paragraph without explicit
// embeddings or isolates (so one isolating run sequence), the brackets from
// that opener on are handed to ICU as a plain other-neutral character ('!',
// the class a bracket has when it is not paired), which is how the algorithm
// treats them.
void stop_pairing_past_the_stack(std::u16string &text, CharProperties &properties) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = start;
    bool explicit_controls = false;
    std::vector<std::pair<UChar32, std::size_t>> openers;
    std::size_t overflow = std::u16string::npos;
    for (std::size_t i = start; i < text.size();) {
      UChar32 c;
      std::size_t next = i;
      U16_NEXT(text.data(), next, text.size(), c);
      const UCharDirection direction = properties.direction(c);
      if (direction == U_BLOCK_SEPARATOR) {
        end = next;
        break;
      }
      end = next;
      switch (direction) {
        case U_LEFT_TO_RIGHT_EMBEDDING:
        case U_LEFT_TO_RIGHT_OVERRIDE:
        case U_RIGHT_TO_LEFT_EMBEDDING:
        case U_RIGHT_TO_LEFT_OVERRIDE:
        case U_POP_DIRECTIONAL_FORMAT:
        case U_FIRST_STRONG_ISOLATE:
        case U_LEFT_TO_RIGHT_ISOLATE:
        case U_RIGHT_TO_LEFT_ISOLATE:
        case U_POP_DIRECTIONAL_ISOLATE:
          explicit_controls = true;
          break;
        default:
          break;
      }
      const auto type = overflow == std::u16string::npos && direction == U_OTHER_NEUTRAL
                            ? properties.bracket_type(c)
                            : U_BPT_NONE;
      if (type == U_BPT_OPEN) {
        if (openers.size() == kPairingDepth) {
          overflow = i;
        } else {
          openers.emplace_back(u_getBidiPairedBracket(c), i);
        }
      } else if (type == U_BPT_CLOSE) {
        for (std::size_t k = openers.size(); k-- > 0;) {
          if (openers[k].first == c) {
            openers.resize(k);
            break;
          }
        }
      }
      i = next;
    }
    if (overflow != std::u16string::npos && !explicit_controls) {
      for (std::size_t i = overflow; i < end; ++i) {
        if (!U16_IS_SURROGATE(text[i]) &&
            properties.bracket_type(text[i]) != U_BPT_NONE && properties.direction(text[i]) == U_OTHER_NEUTRAL) {
          text[i] = u'!';
        }
      }
    }
    start = end;
  }
}

// Bidi levels per code unit of the text, from ICU. A text with no more
// openers than the pairing stack holds cannot fill it, which spares it
// stop_pairing_past_the_stack.
std::vector<UBiDiLevel> icu_levels(std::u16string_view text, unsigned base_level, std::size_t openers,
                                   CharProperties &properties) {
  // ICU does not resolve a text whose characters all end up on levels of one
  // parity: it reports every level as the paragraph's, which loses the
  // deeper levels of embeddings and isolates. A paragraph of both directions
  // after the text makes it resolve; paragraphs are resolved independently,
  // so it changes nothing in the text's own.
  constexpr std::u16string_view kBothDirections = u"\u2029a\u05D0";
  if (text.size() > static_cast<std::size_t>(INT32_MAX) - kBothDirections.size()) {
    throw std::bad_alloc();  // beyond what ICU can index
  }
  std::u16string resolved;
  resolved.reserve(text.size() + kBothDirections.size());
  resolved.append(text);
  if (openers > kPairingDepth) stop_pairing_past_the_stack(resolved, properties);
  resolved.append(kBothDirections);
  const auto length = static_cast<int32_t>(resolved.size());
  UErrorCode status = U_ZERO_ERROR;
  const BidiPtr bidi(ubidi_openSized(length, 0, &status));
  check(status);
  ubidi_setPara(bidi.get(), resolved.data(), length, static_cast<UBiDiLevel>(base_level), nullptr,
                &status);
  check(status);
  const UBiDiLevel *levels = ubidi_getLevels(bidi.get(), &status);
  check(status);
  return std::vector<UBiDiLevel>(levels, levels + text.size());
}

// Nonspacing marks after a paired bracket take the bracket's direction.
// ICU leaves that rule out, so a mark after a bracket that found its
// partner could land on another level than the bracket, in an item of its
// own. Paired or not, the marks end on the bracket's level; they get it
// here, with the boundary neutrals (joiners, for example) among them.
void keep_marks_with_brackets(std::u16string_view text, std::vector<UBiDiLevel> *levels,
                              CharProperties &properties) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t next = i;
    if (properties.bracket_type(static_cast<UChar32>(next_code_point(text, &next))) == U_BPT_NONE) {
      i = next;
      continue;
    }
    // The code units from `next` to the end of the last mark.
    std::size_t marks_end = next;
    for (std::size_t j = next; j < text.size();) {
      const UCharDirection direction = properties.direction(static_cast<UChar32>(next_code_point(text, &j)));
      if (direction == U_DIR_NON_SPACING_MARK) {
        marks_end = j;
      } else if (direction != U_BOUNDARY_NEUTRAL) {
        break;
      }
    }
    std::fill(levels->begin() + static_cast<std::ptrdiff_t>(next),
              levels->begin() + static_cast<std::ptrdiff_t>(marks_end), (*levels)[i]);
    i = marks_end;
  }
}

// True when the isolate that begins at `start` (an FSI) holds a strong
// right-to-left character before its PDI, outside isolates nested in it.
bool first_strong_is_rtl(const std::vector<char32_t> &chars, std::size_t start) {
  int nested = 0;
  for (std::size_t i = start + 1; i < chars.size(); ++i) {
    switch (u_charDirection(static_cast<UChar32>(chars[i]))) {
      case U_LEFT_TO_RIGHT_ISOLATE:
      case U_RIGHT_TO_LEFT_ISOLATE:
      case U_FIRST_STRONG_ISOLATE:
        ++nested;
        break;
      case U_POP_DIRECTIONAL_ISOLATE:
        if (nested-- == 0) return false;
        break;
      case U_BLOCK_SEPARATOR:
        return false;
      case U_LEFT_TO_RIGHT:
        if (nested == 0) return false;
        break;
      case U_RIGHT_TO_LEFT:
      case U_RIGHT_TO_LEFT_ARABIC:
        if (nested == 0) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

// The characters that rule L1 puts back on the paragraph's level whatever
// they resolved to: whitespace and isolate controls before a segment or
// paragraph separator or the end of the text (with the controls that
// explicit resolution removes among them).
std::vector<bool> reset_at_line_end(const std::vector<char32_t> &chars) {
  std::vector<bool> reset(chars.size(), false);
  bool trailing = true;
  for (std::size_t i = chars.size(); i-- > 0;) {
    switch (u_charDirection(static_cast<UChar32>(chars[i]))) {
      case U_BLOCK_SEPARATOR:
      case U_SEGMENT_SEPARATOR:
        trailing = true;
        break;
      case U_WHITE_SPACE_NEUTRAL:
      case U_LEFT_TO_RIGHT_ISOLATE:
      case U_RIGHT_TO_LEFT_ISOLATE:
      case U_FIRST_STRONG_ISOLATE:
      case U_POP_DIRECTIONAL_ISOLATE:
      case U_LEFT_TO_RIGHT_EMBEDDING:
      case U_RIGHT_TO_LEFT_EMBEDDING:
      case U_LEFT_TO_RIGHT_OVERRIDE:
      case U_RIGHT_TO_LEFT_OVERRIDE:
      case U_POP_DIRECTIONAL_FORMAT:
      case U_BOUNDARY_NEUTRAL:
        break;
      default:
        trailing = false;
        break;
    }
    reset[i] = trailing;
  }
  return reset;
}

// An isolate initiator or PDI inside a directional override takes the
// override's direction, and so the override's level. ICU resolves them as
// neutrals instead, which can put them on another level. This walks the
// explicit embeddings of each paragraph as the bidi algorithm does (the
// directional status stack, at most 125 levels deep, with its overflow
// counts) and sets those characters' levels.
void isolates_take_overrides(const CodePoints &decoded, unsigned base_level, std::vector<UBiDiLevel> *levels) {
  const std::vector<char32_t> &chars = decoded.chars;
  // Character i's level is that of its first code unit.
  const auto set_level = [&](std::size_t i, unsigned level) {
    (*levels)[static_cast<std::size_t>(decoded.offsets[i])] = static_cast<UBiDiLevel>(level);
  };
  constexpr unsigned kMaxDepth = 125;
  struct Entry {
    unsigned level;
    bool override;
    bool isolate;
  };
  std::vector<Entry> stack{{base_level, false, false}};
  unsigned overflow_isolates = 0, overflow_embeddings = 0, valid_isolates = 0;
  const auto push = [&](bool rtl, bool override, bool isolate) {
    const unsigned top = stack.back().level;
    const unsigned level = rtl ? (top + 1) | 1U : (top + 2) & ~1U;
    if (level <= kMaxDepth && overflow_isolates == 0 && overflow_embeddings == 0) {
      valid_isolates += isolate;
      stack.push_back({level, override, isolate});
    } else if (isolate) {
      ++overflow_isolates;
    } else if (overflow_isolates == 0) {
      ++overflow_embeddings;
    }
  };
  const std::vector<bool> line_end = reset_at_line_end(chars);
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const UCharDirection direction = u_charDirection(static_cast<UChar32>(chars[i]));
    switch (direction) {
      case U_LEFT_TO_RIGHT_EMBEDDING:
      case U_LEFT_TO_RIGHT_OVERRIDE:
        push(false, direction == U_LEFT_TO_RIGHT_OVERRIDE, false);
        break;
      case U_RIGHT_TO_LEFT_EMBEDDING:
      case U_RIGHT_TO_LEFT_OVERRIDE:
        push(true, direction == U_RIGHT_TO_LEFT_OVERRIDE, false);
        break;
      case U_LEFT_TO_RIGHT_ISOLATE:
      case U_RIGHT_TO_LEFT_ISOLATE:
      case U_FIRST_STRONG_ISOLATE:
        if (stack.back().override && !line_end[i]) set_level(i, stack.back().level);
        push(direction == U_RIGHT_TO_LEFT_ISOLATE ||
                 (direction == U_FIRST_STRONG_ISOLATE && first_strong_is_rtl(chars, i)),
             false, true);
        break;
      case U_POP_DIRECTIONAL_ISOLATE:
        if (overflow_isolates > 0) {
          --overflow_isolates;
        } else if (valid_isolates > 0) {
          overflow_embeddings = 0;
          while (!stack.back().isolate) stack.pop_back();
          stack.pop_back();
          --valid_isolates;
        }
        if (stack.back().override && !line_end[i]) set_level(i, stack.back().level);
        break;
      case U_POP_DIRECTIONAL_FORMAT:
        if (overflow_isolates > 0) {
        } else if (overflow_embeddings > 0) {
          --overflow_embeddings;
        } else if (!stack.back().isolate && stack.size() >= 2) {
          stack.pop_back();
        }
        break;
      case U_BLOCK_SEPARATOR:
        stack.assign(1, Entry{base_level, false, false});
        overflow_isolates = overflow_embeddings = valid_isolates = 0;
        break;
      default:
        break;
    }
  }
}

}  // namespace

// Bidi level per code unit; a character's level is that of its first unit.
// Every paragraph of the text (paragraph separators end one) is resolved
// at the caller's level, whatever it is.
std::vector<UBiDiLevel> resolve_levels(std::u16string_view text, const TextFacts &facts,
                                       const ItemizeOptions &options, CharProperties &properties) {
  // In a paragraph of even level without right-to-left letters, Arabic
  // numbers and explicit embeddings, isolates or overrides, every character
  // resolves to the paragraph's level: numbers and neutrals take the
  // direction of the left-to-right text around them. Such text, the bulk of
  // long texts in many scripts, skips the resolution.
  if (options.override_direction || ((options.base_level & 1U) == 0 && !facts.has(kNeedsResolution))) {
    return std::vector<UBiDiLevel>(text.size(), static_cast<UBiDiLevel>(options.base_level));
  }
  std::vector<UBiDiLevel> levels = icu_levels(text, options.base_level, facts.openers, properties);
  if (facts.has(kPairedBracket)) keep_marks_with_brackets(text, &levels, properties);
  // Only a text with both an override and an isolate can need the walk.
  if (facts.has(kOverride) && facts.has(kPopIsolate)) {
    isolates_take_overrides(decode_utf16(text), options.base_level, &levels);
  }
  return levels;
}

}  // namespace vantor
