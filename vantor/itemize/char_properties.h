// The ICU properties of the code points the itemizer looks up, kept once per
// code point for the text being itemized, and what they add up to over the
// whole text.
#pragma once

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace vantor {

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

// Looks c up in ICU.
CharFacts facts_of(UChar32 c);

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

}  // namespace vantor
