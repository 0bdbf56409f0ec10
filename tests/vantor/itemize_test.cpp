// Items: where they split, their levels, scripts and tags, and the error
// contract of ScriptItemizeOpenType.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "vantor.h"

namespace vantor_test {
namespace {

struct Expected {
  int start;
  unsigned level, script;
  OPENTYPE_TAG tag;
};

void expect_items(std::string_view utf8, bool rtl, const std::vector<Expected> &expected) {
  SCOPED_TRACE(std::string(utf8));
  const std::u16string text = utf16(utf8);
  const std::vector<Item> items = itemize(text, rtl);
  ASSERT_EQ(items.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("item " + std::to_string(i));
    EXPECT_EQ(items[i].start, expected[i].start);
    EXPECT_EQ(items[i].analysis.s.uBidiLevel, expected[i].level);
    EXPECT_EQ(items[i].analysis.fRTL, expected[i].level & 1U);
    EXPECT_EQ(items[i].analysis.eScript, expected[i].script);
    EXPECT_EQ(items[i].tag, expected[i].tag);
  }
  EXPECT_EQ(items.back().end, static_cast<int>(text.size())) << "closing entry";
}

constexpr unsigned kNone = VANTOR_SCRIPT_NONE, kLatin = VANTOR_SCRIPT_LATIN,
                   kGreek = VANTOR_SCRIPT_GREEK, kHebrew = VANTOR_SCRIPT_HEBREW;
constexpr OPENTYPE_TAG kLatn = ot_tag("latn"), kGrek = ot_tag("grek"), kHebr = ot_tag("hebr");

TEST(ItemizeSplits, AtEveryChangeOfLevelOrScript) {
  expect_items("مرحبا بالعالم", true, {{0, 1, VANTOR_SCRIPT_ARABIC, ot_tag("arab")}});
  // HarfBuzz's first tag; the font decides later.
  expect_items("नमस्ते", false, {{0, 0, VANTOR_SCRIPT_DEVANAGARI, ot_tag("dev3")}});
  expect_items("Привет мир hello", false,
               {{0, 0, VANTOR_SCRIPT_CYRILLIC, ot_tag("cyrl")}, {11, 0, kLatin, kLatn}});
  // The space after the Hebrew word takes the paragraph level and the
  // Hebrew script: an item of neutrals only, with tag 0.
  expect_items("abc אבג def", false,
               {{0, 0, kLatin, kLatn}, {4, 1, kHebrew, kHebr}, {7, 0, kNone, 0},
                {8, 0, kLatin, kLatn}});
  expect_items("abc אבג def", true,
               {{0, 2, kLatin, kLatn}, {3, 1, kNone, 0}, {4, 1, kHebrew, kHebr},
                {8, 2, kLatin, kLatn}});
  expect_items("שלום 123", true, {{0, 1, kHebrew, kHebr}, {5, 2, kNone, 0}});
  expect_items("123 !?", false, {{0, 0, kNone, 0}});
}

TEST(ItemizeScripts, NeutralsJoinTheScriptAroundThem) {
  expect_items("(12) αβγ", false, {{0, 0, kGreek, kGrek}});
  // U+0301 is of the Inherited script.
  expect_items("e\u0301\u03B1\u0301", false, {{0, 0, kLatin, kLatn}, {2, 0, kGreek, kGrek}});
  // A closing bracket takes the script of its opening bracket.
  expect_items("abc (αβγ) def", false,
               {{0, 0, kLatin, kLatn}, {5, 0, kGreek, kGrek}, {8, 0, kLatin, kLatn}});
  expect_items("a(b[γ]δ)e", false,
               {{0, 0, kLatin, kLatn}, {4, 0, kGreek, kGrek}, {5, 0, kNone, 0},
                {6, 0, kGreek, kGrek}, {7, 0, kLatin, kLatn}});
}

TEST(ItemizeScripts, CharactersJoinARunOfAScriptTheirExtensionsHold) {
  constexpr unsigned kDogra = VANTOR_SCRIPT_DOGRA, kDeva = VANTOR_SCRIPT_DEVANAGARI;
  // The Grantha nukta (U+1133C, two code units) in Tamil.
  expect_items("ஜ\U0001133Cா", false, {{0, 0, VANTOR_SCRIPT_TAMIL, ot_tag("tml3")}});
  // Devanagari digits are also Dogra: after Dogra letters, and before them
  // once the letters come.
  expect_items("\U00011800१२", false, {{0, 0, kDogra, ot_tag("dogr")}});
  expect_items("१२ \U00011800", false, {{0, 0, kDogra, ot_tag("dogr")}});
  // After Latin, and alone, they are Devanagari.
  expect_items("ab १२", false, {{0, 0, kLatin, kLatn}, {3, 0, kDeva, ot_tag("dev3")}});
  expect_items("१२", false, {{0, 0, kDeva, ot_tag("dev3")}});
}

TEST(ItemizeScripts, UnmatchedBracketsDoNotSlowItemizingDown) {
  std::u16string text = u"abc ";
  text.append(100000, u'(');
  text.append(100000, u']');
  const std::vector<Item> items = itemize(text, false);
  ASSERT_EQ(items.size(), 1U);
  EXPECT_EQ(items[0].analysis.eScript, kLatin);
}

TEST(ItemizeUtf16, SurrogatesNeverSplitOrCrash) {
  // U+10330 and U+10331 are Gothic, two code units each.
  expect_items("ab\U00010330\U00010331cd", false,
               {{0, 0, kLatin, kLatn}, {2, 0, VANTOR_SCRIPT_GOTHIC, ot_tag("goth")},
                {6, 0, kLatin, kLatn}});
  const std::u16string lone = {u'a', 0xD800, u'b', 0xDC00, 0xDC00, u'c', 0xD83D};
  const std::vector<Item> items = itemize(lone, false);
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.back().end, 7);
}

std::vector<unsigned> levels(std::string_view utf8, SCRIPT_STATE state) {
  const std::u16string text = utf16(utf8);
  SCRIPT_ITEM items[17];
  OPENTYPE_TAG tags[16];
  int count = 0;
  EXPECT_EQ(ScriptItemizeOpenType(text.data(), static_cast<int>(text.size()), 16, nullptr,
                                  &state, items, tags, &count), S_OK);
  std::vector<unsigned> out;
  for (int i = 0; i < count; ++i) out.push_back(items[i].a.s.uBidiLevel);
  return out;
}

TEST(ItemizeLevels, ParagraphLevelOverrideAndParagraphEnds) {
  SCRIPT_STATE state{};
  state.uBidiLevel = 2;
  EXPECT_EQ(levels("abc אבג", state), (std::vector<unsigned>{2, 3})) << "lifted by 2";
  state.uBidiLevel = 1;
  state.fOverrideDirection = 1;
  EXPECT_EQ(levels("abc אבג", state), (std::vector<unsigned>{1, 1})) << "split by script only";
  // An embedding (RLE) opened in the first paragraph ends with it (PS); the
  // RLE itself has the level of the embedding it opens.
  expect_items("a\u202Bbc\u2029de", false,
               {{0, 0, kLatin, kLatn}, {1, 2, kLatin, kLatn}, {4, 0, kLatin, kLatn}});
}

TEST(ItemizeErrors, InvalidArgumentsAndTooFewSlots) {
  const std::u16string text = utf16("aאbאc");  // five items
  SCRIPT_ITEM items[6];
  OPENTYPE_TAG tags[5];
  int count = -1;
  const auto call = [&](const WCHAR *chars, int n, int max, SCRIPT_ITEM *out, OPENTYPE_TAG *t) {
    return ScriptItemizeOpenType(chars, n, max, nullptr, nullptr, out, t, &count);
  };
  EXPECT_EQ(call(nullptr, 5, 5, items, tags), E_INVALIDARG);
  EXPECT_EQ(call(text.data(), 5, 5, nullptr, tags), E_INVALIDARG);
  EXPECT_EQ(call(text.data(), 5, 5, items, nullptr), E_INVALIDARG);
  EXPECT_EQ(call(text.data(), 0, 5, items, tags), E_INVALIDARG);
  EXPECT_EQ(call(text.data(), 5, 1, items, tags), E_INVALIDARG);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(call(text.data(), 5, 4, items, tags), E_OUTOFMEMORY);
  ASSERT_EQ(call(text.data(), 5, 5, items, tags), S_OK);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(items[5].iCharPos, 5);
}

}  // namespace
}  // namespace vantor_test
