// The itemizer: bidi levels from ICU with the corrections the bidi algorithm
// asks for, script runs with their neutral and bracket rules, and the items
// they split a text into.
#include "itemizer.h"

#include <unicode/ubidi.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "utf16.h"

namespace vantor {
namespace {

// How many openers the bidi algorithm's bracket pairing stack holds.
constexpr std::size_t kPairingDepth = 63;

// How many open brackets the script resolution remembers.
constexpr std::size_t kBracketDepth = 64;

// Room for the longest Script_Extensions list (Unicode 15.0 has none longer
// than 20 scripts).
constexpr int kMaxExtensions = 64;

struct BidiCloser {
  void operator()(UBiDi *bidi) const { ubidi_close(bidi); }
};
using BidiPtr = std::unique_ptr<UBiDi, BidiCloser>;

void check(UErrorCode status) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) throw std::runtime_error(std::string("ICU: ") + u_errorName(status));
}

UScriptCode icu_script(UChar32 c) {
  UErrorCode status = U_ZERO_ERROR;
  const UScriptCode script = uscript_getScript(c, &status);
  return U_FAILURE(status) ? USCRIPT_UNKNOWN : script;
}

// What the itemizer's first pass notes of a character (CharFacts::flags),
// each deciding whether a later step has anything to do.
enum CharFlag : std::uint8_t {
  kNeedsResolution = 1,  // needs_resolution
  kPairedBracket = 2,    // a paired bracket, opening or closing
  kOpener = 4,           // an opening bracket the bidi resolution pairs
  kOverride = 8,         // LRO or RLO
  kPopIsolate = 16,      // PDI
  kNeutralScript = 32,   // its own script is Common, Inherited or Unknown
  kSupplementary = 64,   // beyond the Basic Multilingual Plane: two code units
};

// A code point's bidi class, paired bracket type and script as ICU gives
// them, with its CharFlag bits.
struct CharFacts {
  UChar32 c = -1;
  std::uint8_t direction = 0;
  std::uint8_t bracket = 0;
  std::uint8_t flags = 0;
  std::int16_t script = 0;
};

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

// Looks c up in ICU.
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

// The ICU properties the itemizer looks up, per code point, kept for the text
// being itemized: a long text uses a few dozen code points over and over, and
// every lookup is a call into ICU. Direct-mapped by the code point's low
// bits; a code point that finds another in its entry is looked up again.
class CharProperties {
 public:
  const CharFacts &of(UChar32 c) {
    CharFacts &e = entries_[static_cast<std::uint32_t>(c) % kEntries];
    if (e.c != c) e = facts_of(c);
    return e;
  }
  UCharDirection direction(UChar32 c) { return static_cast<UCharDirection>(of(c).direction); }
  UBidiPairedBracketType bracket_type(UChar32 c) { return static_cast<UBidiPairedBracketType>(of(c).bracket); }
  UScriptCode script(UChar32 c) { return static_cast<UScriptCode>(of(c).script); }

 private:
  static constexpr std::size_t kEntries = 1024;
  std::array<CharFacts, kEntries> entries_{};
};

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

// What the itemizer's first pass found in the whole text.
struct TextFacts {
  unsigned flags = 0;       // every character's CharFlag bits, or'ed
  std::size_t openers = 0;  // characters with kOpener

  void add(const CharFacts &facts) {
    flags |= facts.flags;
    openers += (facts.flags & kOpener) != 0 ? 1 : 0;
  }
  bool has(CharFlag flag) const { return (flags & flag) != 0; }
};

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

// The scripts a character can be written in: its Script_Extensions, which
// hold its own script when it has no others.
struct Extensions {
  std::array<UScriptCode, kMaxExtensions> codes{};
  int count = 0;

  Extensions() = default;
  Extensions(UChar32 c, UScriptCode own) {
    UErrorCode status = U_ZERO_ERROR;
    count = uscript_getScriptExtensions(c, codes.data(), kMaxExtensions, &status);
    if (U_FAILURE(status) || count <= 0) {
      codes[0] = own;
      count = 1;
    }
  }
  bool has(UScriptCode script) const {
    return std::find(codes.begin(), codes.begin() + count, script) != codes.begin() + count;
  }
  // Keeps the scripts that `other` also has.
  void intersect(const Extensions &other) {
    count = static_cast<int>(
        std::remove_if(codes.begin(), codes.begin() + count,
                       [&](UScriptCode script) { return !other.has(script); }) -
        codes.begin());
  }
};

// The opening bracket a bracket pairs with, 0 for other characters;
// canonically equivalent angle brackets count as one.
UChar32 bracket_id(UChar32 c, bool *opening, CharProperties &properties) {
  // The only paired brackets in ASCII, checked without a property lookup.
  if (c < 0x80 && c != '(' && c != ')' && c != '[' && c != ']' && c != '{' && c != '}') return 0;
  const UBidiPairedBracketType type = properties.bracket_type(c);
  if (type == U_BPT_NONE) return 0;
  *opening = type == U_BPT_OPEN;
  const UChar32 open = *opening ? c : u_getBidiPairedBracket(c);
  return open == 0x2329 ? 0x3008 : open;
}

// Resolves the script of every character, left to right. Characters of the
// Common, Inherited and Unknown scripts take the script of the run around
// them. A character whose Script_Extensions hold the script of the run joins
// it; one that can belong to several other scripts waits, with the
// characters after it, until a character narrows them to one (or leaves
// none, and the run takes the waiting character's own script when it can).
// A closing paired bracket takes the script of its opening bracket, and the
// text after it continues in that script.
class ScriptResolver {
 public:
  ScriptResolver(std::size_t count, CharProperties &properties)
      : properties_(properties), scripts_(count, USCRIPT_INVALID_CODE) {}

  // Character c starts at code unit i; the scripts are kept per code unit,
  // a character's at its first.
  void add(std::size_t i, UChar32 c, const CharFacts &facts) {
    const auto own = static_cast<UScriptCode>(facts.script);
    if ((facts.flags & kNeutralScript) != 0) {
      add_neutral(i, c);
    } else {
      add_own(i, c, own);
    }
  }

  // The scripts, once every character has been added. A text without any
  // character of a script of its own stays Common throughout.
  std::vector<UScriptCode> finish() {
    if (waiting_) settle(scripts_.size(), waiting_any_ ? USCRIPT_COMMON : best_candidate());
    return std::move(scripts_);
  }

 private:
  void add_neutral(std::size_t i, UChar32 c) {
    bool opening = false;
    const UChar32 id = bracket_id(c, &opening, properties_);
    if (id != 0 && opening) {
      // Only the innermost brackets are remembered, which keeps the search
      // for a partner short whatever the text.
      if (open_brackets_.size() == kBracketDepth) open_brackets_.erase(open_brackets_.begin());
      open_brackets_.emplace_back(id, i);
    } else if (id != 0) {
      close_bracket(i, id);
      return;
    }
    if (!waiting_) scripts_[i] = current_;
  }

  void close_bracket(std::size_t i, UChar32 id) {
    std::size_t depth = open_brackets_.size();
    while (depth > 0 && open_brackets_[depth - 1].first != id) --depth;
    if (depth == 0) {
      if (!waiting_) scripts_[i] = current_;
      return;
    }
    const std::size_t opener = open_brackets_[depth - 1].second;
    open_brackets_.resize(depth - 1);
    // An opening bracket still waiting waits with everything after it, so
    // its partner simply waits too.
    if (waiting_ && opener >= waiting_from_) return;
    if (waiting_) settle(i, best_candidate());
    current_ = scripts_[opener];
    scripts_[i] = current_;
  }

  void add_own(std::size_t i, UChar32 c, UScriptCode own) {
    if (!waiting_) {
      if (own == current_) {
        scripts_[i] = own;
        return;
      }
      start_run(i, c, own);
      return;
    }
    const Extensions extensions(c, own);
    if (waiting_any_) {
      waiting_any_ = false;
      candidates_ = extensions;
      waiting_own_ = own;
    } else {
      Extensions narrowed = candidates_;
      narrowed.intersect(extensions);
      if (narrowed.count == 0) {
        settle(i, best_candidate());
        start_run(i, c, own);
        return;
      }
      candidates_ = narrowed;
    }
    if (candidates_.count == 1) settle(i + 1, candidates_.codes[0]);
  }

  // Character i, of script `own`, follows a settled run of another script.
  void start_run(std::size_t i, UChar32 c, UScriptCode own) {
    const Extensions extensions(c, own);
    if (extensions.has(current_)) {
      scripts_[i] = current_;
      return;
    }
    if (extensions.count == 1) {
      current_ = own;
      scripts_[i] = own;
      return;
    }
    waiting_ = true;
    waiting_any_ = false;
    waiting_from_ = i;
    waiting_own_ = own;
    candidates_ = extensions;
  }

  UScriptCode best_candidate() const {
    return candidates_.has(waiting_own_) ? waiting_own_ : candidates_.codes[0];
  }

  // Gives the waiting characters before `end` the script, which becomes the
  // script of the run.
  void settle(std::size_t end, UScriptCode script) {
    std::fill(scripts_.begin() + static_cast<std::ptrdiff_t>(waiting_from_),
              scripts_.begin() + static_cast<std::ptrdiff_t>(end), script);
    current_ = script;
    waiting_ = false;
  }

  CharProperties &properties_;
  std::vector<UScriptCode> scripts_;
  std::vector<std::pair<UChar32, std::size_t>> open_brackets_;
  UScriptCode current_ = USCRIPT_INVALID_CODE;
  // The characters from waiting_from_ on have no script yet: at the start
  // of the text, any script (waiting_any_), later one of candidates_.
  bool waiting_ = true;
  bool waiting_any_ = true;
  std::size_t waiting_from_ = 0;
  UScriptCode waiting_own_ = USCRIPT_INVALID_CODE;
  Extensions candidates_;
};

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
  ScriptResolver resolver(text.size(), properties);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const auto c = static_cast<UChar32>(next_code_point(text, &i));
    const CharFacts &char_facts = properties.of(c);
    facts.add(char_facts);
    resolver.add(start, c, char_facts);
  }
  std::vector<UScriptCode> scripts = resolver.finish();
  std::vector<UBiDiLevel> levels = resolve_levels(text, facts, options, properties);
  if (facts.has(kSupplementary)) share_with_trailing_units(text, &levels, &scripts);
  return items_of(text, levels, scripts, properties);
}

}  // namespace vantor
