// The justification class (SCRIPT_VISATTR.uJustification) of each cluster
// of an item, and which characters of an Arabic item join their neighbours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "abi/usp10.h"

namespace vantor {

// Uniscribe's SCRIPT_JUSTIFY values, as Microsoft's page for the enumeration
// numbers them (3, 5 and 6 are reserved).
enum JustifyClass : WORD {
  kJustifyNone = 0,
  kJustifyArabicBlank = 1,
  kJustifyCharacter = 2,
  kJustifyBlank = 4,
  kJustifyArabicNormal = 7,
  kJustifyArabicKashida = 8,
  kJustifyArabicAlef = 9,
  kJustifyArabicHa = 10,
  kJustifyArabicRa = 11,
  kJustifyArabicBa = 12,
  kJustifyArabicBara = 13,
  kJustifyArabicSeen = 14,
  kJustifyArabicSeenMedial = 15,
};

// The classes of one item's clusters. For an Arabic item it first works out,
// from ICU's Joining_Type, which letters join the letter before and after
// them within the item (items are shaped alone, so nothing joins across
// their edges); other items cost nothing up front.
class Justifier {
 public:
  Justifier(std::u16string_view text, bool arabic_item);

  // The class of the first glyph of the cluster holding text[first, end);
  // `blank` when its first character is a space separator (Zs).
  WORD cluster_class(std::size_t first, std::size_t end, bool blank) const;

  // True when the character starting at text[index] joins the letter before
  // or after it (always false outside Arabic items): its shape then depends
  // on its neighbours.
  bool joins(std::size_t index) const { return !units_.empty() && (units_[index].flags & kJoins) != 0; }

  // What an Arabic item's classes are made from, per code unit: the flags
  // below and the character's ICU Joining_Group. The second unit of a
  // character of two is kContinuation alone.
  struct Unit {
    std::uint8_t flags;
    std::uint8_t group;
  };
  static constexpr std::uint8_t kJoinsPrevious = 1;
  static constexpr std::uint8_t kJoinsNext = 2;
  static constexpr std::uint8_t kJoins = kJoinsPrevious | kJoinsNext;
  static constexpr std::uint8_t kTransparent = 4;  // Joining_Type T: a mark
  static constexpr std::uint8_t kTatweel = 8;
  static constexpr std::uint8_t kContinuation = 16;

 private:
  WORD arabic_class(std::size_t first, std::size_t end) const;

  std::u16string_view text_;
  bool arabic_;
  // One per code unit of an Arabic item, made in one pass over it; empty
  // outside Arabic items.
  std::vector<Unit> units_;
};

}  // namespace vantor
