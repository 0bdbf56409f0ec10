// Justification classes from Microsoft's documents:
//   [enum]    the SCRIPT_JUSTIFY page of the Uniscribe reference (what each
//             class stands for: a blank in or outside an Arabic run, an
//             inter-character point, the final forms of alef, ha, ra and ba,
//             the ba-ra ligature, initial and medial seen, the kashida);
//   [kashida] "Justifying Text using Cascading Style Sheets (CSS) in Internet
//             Explorer 5.5" (Microsoft's ranking of the connections a kashida
//             may lengthen: 1 a user's kashida; 2 after seen and sad joined to
//             the next letter; 3 before final teh marbuta, heh and dal; 4
//             before final alef, tah, lam, kaf and gaf; 5 before a medial ba
//             that ra, ya or alef maqsura follow; 6 before final waw, ain, qaf
//             and feh; 7 before any other letter joined to the one before it).
// Where a rule below is this library's reading of them rather than their
// word, its comment says so; docs/backend.md lists those readings.
#include "justification.h"

#include <array>

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include "utf16.h"

namespace vantor {
namespace {

constexpr char32_t kTatweel = 0x0640;

// ICU's Joining_Type and Joining_Group of the characters an Arabic item is
// mostly made of (U+0600 to U+08FF: Arabic, Syriac, Arabic Supplement, Thaana,
// N'Ko, Samaritan, Mandaic, Arabic Extended), read from ICU once; two
// property lookups per character each time cost an Arabic text a tenth of its
// shaping. Others are asked of ICU.
constexpr char32_t kTableFirst = 0x0600;
constexpr char32_t kTableEnd = 0x0900;

struct Joining {
  std::uint8_t type;
  std::uint8_t group;
};

using JoiningTable = std::array<Joining, kTableEnd - kTableFirst>;

const JoiningTable &joining_table() {
  static const JoiningTable table = [] {
    JoiningTable out{};
    for (char32_t c = kTableFirst; c < kTableEnd; ++c) {
      const auto u = static_cast<UChar32>(c);
      out[c - kTableFirst] = Joining{static_cast<std::uint8_t>(u_getIntPropertyValue(u, UCHAR_JOINING_TYPE)),
                                     static_cast<std::uint8_t>(u_getIntPropertyValue(u, UCHAR_JOINING_GROUP))};
    }
    return out;
  }();
  return table;
}

// The table is passed in, read once per item: a function's static is checked
// for being made at every call.
UJoiningType joining_type(const JoiningTable &table, char32_t c) {
  if (c >= kTableFirst && c < kTableEnd) return static_cast<UJoiningType>(table[c - kTableFirst].type);
  return static_cast<UJoiningType>(u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_JOINING_TYPE));
}

UJoiningGroup joining_group(const JoiningTable &table, char32_t c) {
  if (c >= kTableFirst && c < kTableEnd) return static_cast<UJoiningGroup>(table[c - kTableFirst].group);
  return static_cast<UJoiningGroup>(u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_JOINING_GROUP));
}

// Each code unit's record (see Justifier::Unit), with Unicode's joining: a
// right-joining, dual-joining or join-causing character joins the one before
// it when that one is left-joining, dual-joining or join-causing; transparent
// characters (marks) are skipped over.
std::vector<Justifier::Unit> units_of(const JoiningTable &table, std::u16string_view text) {
  std::vector<Justifier::Unit> units(text.size(), Justifier::Unit{Justifier::kContinuation, 0});
  std::size_t before = text.size();  // the last character that is not transparent
  bool before_joins_next = false;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t at = i;
    const char32_t c = next_code_point(text, &i);
    const UJoiningType type = joining_type(table, c);
    Justifier::Unit &unit = units[at];
    unit.group = static_cast<std::uint8_t>(joining_group(table, c));
    unit.flags = c == kTatweel ? Justifier::kTatweel : 0;
    if (type == U_JT_TRANSPARENT) {
      unit.flags |= Justifier::kTransparent;
      continue;
    }
    const bool joins_previous = type == U_JT_RIGHT_JOINING || type == U_JT_DUAL_JOINING || type == U_JT_JOIN_CAUSING;
    if (before_joins_next && joins_previous) {
      unit.flags |= Justifier::kJoinsPrevious;
      units[before].flags |= Justifier::kJoinsNext;
    }
    before = at;
    before_joins_next = type == U_JT_LEFT_JOINING || type == U_JT_DUAL_JOINING || type == U_JT_JOIN_CAUSING;
  }
  return units;
}

// Ideographs (the Ideographic property) and kana: Hiragana and Katakana
// letters and the marks of length and iteration that belong to them
// (U+30FC is Common in Script but Hiragana and Katakana in its extensions).
bool is_ideograph_or_kana(char32_t c) {
  if (c < 0x2E80) return false;  // below the CJK blocks: most clusters stop here
  const auto u = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(u, UCHAR_IDEOGRAPHIC)) return true;
  UErrorCode status = U_ZERO_ERROR;
  const UScriptCode script = uscript_getScript(u, &status);
  if (U_FAILURE(status)) return false;
  if (script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA) return true;
  return u_charType(u) == U_MODIFIER_LETTER &&
         (uscript_hasScript(u, USCRIPT_HIRAGANA) || uscript_hasScript(u, USCRIPT_KATAKANA));
}

bool is_beh(UJoiningGroup group) { return group == U_JG_BEH; }
bool is_reh_or_yeh(UJoiningGroup group) {
  return group == U_JG_REH || group == U_JG_YEH || group == U_JG_FARSI_YEH;
}

// The class of a final form (a letter joined to the one before it and not
// to the one after it) by the letter's joining group.
WORD final_form_class(UJoiningGroup group) {
  switch (group) {
    // [enum] ALEF is the final alef-like letter; [kashida] ranks tah, lam,
    // kaf and gaf with alef (4), so their final forms share its class
    // (a reading of ours).
    case U_JG_ALEF:
    case U_JG_TAH:
    case U_JG_LAM:
    case U_JG_KAF:
    case U_JG_GAF:
    case U_JG_SWASH_KAF:
      return kJustifyArabicAlef;
    // [enum] HA is the final heh; [kashida] ranks teh marbuta and dal with
    // it (3).
    case U_JG_HEH:
    case U_JG_HEH_GOAL:
    case U_JG_KNOTTED_HEH:
    case U_JG_TEH_MARBUTA:
    case U_JG_TEH_MARBUTA_GOAL:
    case U_JG_DAL:
      return kJustifyArabicHa;
    // [enum] RA is the final reh; [kashida] ranks waw, ain, qaf and feh
    // together (6), below the letters above: they share RA (a reading of
    // ours).
    case U_JG_REH:
    case U_JG_WAW:
    case U_JG_STRAIGHT_WAW:
    case U_JG_AIN:
    case U_JG_QAF:
    case U_JG_AFRICAN_QAF:
    case U_JG_FEH:
    case U_JG_AFRICAN_FEH:
      return kJustifyArabicRa;
    // [enum] BA is the final beh; [kashida] rank 5 names ya and alef
    // maqsura (both of the YEH group) beside ba, so final ya is BA too (a
    // reading of ours).
    case U_JG_BEH:
    case U_JG_YEH:
    case U_JG_FARSI_YEH:
      return kJustifyArabicBa;
    // [kashida] rank 7: any other letter joined to the one before it;
    // [enum] NORMAL is a glyph that connects to the right.
    default:
      return kJustifyArabicNormal;
  }
}

}  // namespace

Justifier::Justifier(std::u16string_view text, bool arabic_item) : text_(text), arabic_(arabic_item) {
  if (arabic_) units_ = units_of(joining_table(), text);
}

WORD Justifier::cluster_class(std::size_t first, std::size_t end, bool blank) const {
  // [enum] ARABIC_BLANK is a blank in an Arabic run, BLANK one outside it.
  if (blank) return arabic_ ? kJustifyArabicBlank : kJustifyBlank;
  if (arabic_) return arabic_class(first, end);
  // [enum] CHARACTER: an inter-character point follows the glyph; this
  // library gives it to ideographs and kana, the scripts set without spaces
  // between words, and to nothing else (a reading of ours).
  std::size_t i = first;
  return is_ideograph_or_kana(next_code_point(text_, &i)) ? kJustifyCharacter : kJustifyNone;
}

WORD Justifier::arabic_class(std::size_t first, std::size_t end) const {
  // The cluster's letters: the first and last characters that are not
  // transparent (its marks are), and whether a beh is followed by a reh or
  // yeh inside it.
  std::size_t first_letter = end;
  std::size_t last_letter = end;
  bool beh_before = false;
  bool bara = false;
  for (std::size_t i = first; i < end; ++i) {
    const Unit unit = units_[i];
    if ((unit.flags & (kTransparent | kContinuation)) != 0) continue;
    if (first_letter == end) first_letter = i;
    last_letter = i;
    const auto group = static_cast<UJoiningGroup>(unit.group);
    bara = bara || (beh_before && is_reh_or_yeh(group));
    beh_before = is_beh(group);
  }
  if (first_letter == end) return kJustifyNone;  // marks alone
  const Unit head = units_[first_letter];
  const Unit tail = units_[last_letter];
  const bool joins_previous = (head.flags & kJoinsPrevious) != 0;
  const bool joins_next = (tail.flags & kJoinsNext) != 0;
  // [enum] KASHIDA: U+0640 in the middle of a word; [kashida] rank 1. A
  // tatweel joined on neither side is not in a word.
  if ((head.flags & kTatweel) != 0) return joins_previous || joins_next ? kJustifyArabicKashida : kJustifyNone;
  // [enum] BARA: the ligature of ba and ra; [kashida] rank 5. A cluster
  // holding both letters is the font's ligature of them.
  if (bara) return kJustifyArabicBara;
  // [enum] SEEN and SEEN_M: the initial and medial forms of seen;
  // [kashida] rank 2 puts sad beside seen, the kashida after the letter.
  const auto last_group = static_cast<UJoiningGroup>(tail.group);
  if ((last_group == U_JG_SEEN || last_group == U_JG_SAD) && joins_next) {
    return (tail.flags & kJoinsPrevious) != 0 ? kJustifyArabicSeenMedial : kJustifyArabicSeen;
  }
  // A letter not joined to the one before it (the first of a word, or one
  // standing alone) has no connection on its right for a kashida: [enum]
  // NORMAL is for glyphs that connect to the right, and NONE says
  // justification cannot be applied at the glyph.
  if (!joins_previous) return kJustifyNone;
  // [kashida] ranks 3 to 6 are before final forms; a medial letter is rank 7.
  if (joins_next) return kJustifyArabicNormal;
  return final_form_class(static_cast<UJoiningGroup>(head.group));
}

}  // namespace vantor
