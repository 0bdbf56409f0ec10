// The glyph and character properties, ABC widths and break attributes the
// backend gives, against Microsoft's descriptions of SCRIPT_JUSTIFY,
// SCRIPT_CHARPROP, ABC and SCRIPT_LOGATTR and its ranking of kashida points.
#include <gtest/gtest.h>

#include <hb.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

extern "C" ScriptBreakFn ScriptBreak;

namespace vantor_test {
namespace {

constexpr const char *kCjk = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";

// Short names of the SCRIPT_JUSTIFY values, by value.
std::string class_name(unsigned value) {
  static const char *const names[16] = {"none", "ablank", "char", "r1", "blank", "r2", "r3", "normal",
                                        "kashida", "alef", "ha", "ra", "ba", "bara", "seen", "seen_m"};
  return names[value & 15U];
}

// The classes of every cluster's first glyph, item after item, in logical
// order; a cluster's other glyphs must have none.
std::vector<std::string> classes(SCRIPT_CACHE *cache, std::u16string_view text, bool rtl) {
  std::vector<std::string> out;
  for (const Item &item : itemize(text, rtl)) {
    const Shaped shaped = shape_item(cache, text, item);
    EXPECT_EQ(shaped.shape_hr, S_OK);
    for (const SCRIPT_GLYPHPROP &prop : shaped.glyph_props) {
      if (prop.sva.fClusterStart) {
        out.push_back(class_name(prop.sva.uJustification));
      } else {
        EXPECT_EQ(prop.sva.uJustification, 0U) << "a glyph inside a cluster";
      }
    }
  }
  return out;
}

struct JustifyCase {
  const char *font;
  const char *text;
  bool rtl;
  std::vector<std::string> expected;  // per cluster, logical order
  const char *rule;
};

class Justification : public ::testing::TestWithParam<JustifyCase> {};

// Each Arabic letter is its own cluster in these words (Noto Naskh forms no
// ligature of them); "none" where a letter does not join the one before it.
TEST_P(Justification, ClassesFallWhereMicrosoftPutsThem) {
  const JustifyCase &c = GetParam();
  FontSession session(c.font);
  EXPECT_EQ(classes(session.cache(), utf16(c.text), c.rtl), c.expected) << c.rule;
}

const char kNaskh[] = "NotoNaskhArabic-Regular.ttf";
INSTANTIATE_TEST_SUITE_P(
    Props, Justification,
    ::testing::Values(
        JustifyCase{kNaskh, "مرحبا بالعالم", true,
                    {"none", "ra", "none", "normal", "alef", "ablank", "none", "alef", "none", "normal", "alef",
                     "none", "normal"},
                    "final ra, final alef; medial ba and final meem are rank 7; a space is an Arabic blank"},
        JustifyCase{kNaskh, "مدرسة يستحسن", true,
                    {"none", "ha", "none", "seen", "ha", "ablank", "none", "seen_m", "normal", "normal", "seen_m",
                     "normal"},
                    "final dal and teh marbuta rank with heh; initial and medial seen"},
        JustifyCase{kNaskh, "كتابه هو كتب بي بـص", true,
                    {"none", "normal", "alef", "none", "ha", "ablank", "none", "ra", "ablank", "none", "normal",
                     "ba", "ablank", "none", "ba", "ablank", "none", "kashida", "normal"},
                    "final heh, waw (with ra), beh and yeh (with ba); a tatweel in a word"},
        JustifyCase{"NotoSans-Regular.ttf", "a b\u00A0c", false,
                    {"none", "blank", "none", "blank", "none"},
                    "blanks outside an Arabic run; no inter-character point in Latin"},
        JustifyCase{kCjk, "日本語です　カー", false,
                    {"char", "char", "char", "char", "char", "blank", "char", "char"},
                    "ideographs and kana, the prolonged sound mark among them; the ideographic space is a blank"}));

// fCanGlyphAlone: clear for a character whose shape depends on its
// neighbours, as SCRIPT_CHARPROP's "I like flying fish" example shows for
// ligatures; Arabic letters that join depend on the letters they join.
TEST(CharProps, JoinedArabicLettersCannotStandAlone) {
  FontSession session(kNaskh);
  const Shaped shaped = shape_text(session.cache(), utf16("مدرسة و"), true);
  std::string alone;
  for (const SCRIPT_CHARPROP &prop : shaped.char_props) alone += prop.fCanGlyphAlone ? '1' : '0';
  EXPECT_EQ(alone, "0010011");  // reh and waw stand alone: nothing joins them
}

// ABC of a run: A the space before its ink, B the ink's width, C the space
// after it, from HarfBuzz's glyph extents at the pen positions and offsets
// the backend placed the glyphs at (a mark below may reach past its base).
struct AbcCase {
  const char *font;
  const char *text;
  bool rtl;
};

class Abc : public ::testing::TestWithParam<AbcCase> {};

TEST_P(Abc, SpacesAroundTheInkOfTheRun) {
  const AbcCase &c = GetParam();
  FontSession session(c.font);
  const std::u16string text = utf16(c.text);
  const Shaped shaped = shape_text(session.cache(), text, c.rtl);
  ASSERT_EQ(shaped.place_hr, S_OK);

  const std::vector<std::uint8_t> bytes = read_file(font_path(c.font));
  std::unique_ptr<hb_blob_t, decltype(&hb_blob_destroy)> blob(
      hb_blob_create(reinterpret_cast<const char *>(bytes.data()), static_cast<unsigned>(bytes.size()),
                     HB_MEMORY_MODE_READONLY, nullptr, nullptr),
      hb_blob_destroy);
  std::unique_ptr<hb_face_t, decltype(&hb_face_destroy)> face(hb_face_create(blob.get(), 0), hb_face_destroy);
  std::unique_ptr<hb_font_t, decltype(&hb_font_destroy)> font(hb_font_create(face.get()), hb_font_destroy);

  // The glyphs left to right: a right-to-left item's arrays are in logical order here.
  const std::size_t n = shaped.glyphs.size();
  int pen = 0;
  bool inked = false;
  int ink_start = 0, ink_end = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t k = c.rtl ? n - 1 - j : j;
    hb_glyph_extents_t e{};
    hb_font_get_glyph_extents(font.get(), shaped.glyphs[k], &e);
    const int x_offset = c.rtl ? -shaped.offsets[k].du : shaped.offsets[k].du;
    if (e.width > 0) {
      const int left = pen + x_offset + e.x_bearing;
      ink_start = inked ? std::min(ink_start, left) : left;
      ink_end = inked ? std::max(ink_end, left + e.width) : left + e.width;
      inked = true;
    }
    pen += shaped.advances[k];
  }
  const int total = pen;
  if (!inked) {
    EXPECT_EQ(shaped.abc.abcA, 0);
    EXPECT_EQ(shaped.abc.abcB, 0U);
    EXPECT_EQ(shaped.abc.abcC, total) << "a run without ink: all of it after";
    return;
  }
  EXPECT_EQ(shaped.abc.abcA, ink_start);
  EXPECT_EQ(shaped.abc.abcC, total - ink_end);
  EXPECT_EQ(static_cast<long long>(shaped.abc.abcA) + shaped.abc.abcB + shaped.abc.abcC, total);
}

INSTANTIATE_TEST_SUITE_P(Props, Abc,
                         ::testing::Values(AbcCase{"NotoSans-Regular.ttf", "Wave", false},
                                           AbcCase{"NotoSans-Regular.ttf", " fly ", false},
                                           AbcCase{"NotoSans-Regular.ttf", "   ", false},
                                           AbcCase{kNaskh, "بِسْمِ", true},
                                           AbcCase{kNaskh, "مرحبا", true}));

// ScriptBreak, per code unit, one flag at a time: s soft break, w white
// space, c caret stop.
std::string flags(const std::vector<SCRIPT_LOGATTR> &attrs, char field) {
  std::string out;
  for (const SCRIPT_LOGATTR &a : attrs) {
    const unsigned bit = field == 's' ? a.fSoftBreak : field == 'w' ? a.fWhiteSpace : a.fCharStop;
    out += bit ? '1' : '0';
  }
  return out;
}

TEST(Breaks, FlagsAsScriptLogattrDescribesThem) {
  const struct {
    const char *text;
    char field;
    const char *expected;
    const char *why;
  } cases[] = {
      {"a b\u00A0c\td\u202Fe", 'w', "010001000", "breakable white space: not NBSP nor U+202F"},
      {"ab cd", 's', "00010", "a line may start after the space"},
      {"e\u0301x", 'c', "101", "no caret stop inside a grapheme cluster"},
      {"\U0001F600a", 'c', "101", "none inside a surrogate pair"},
  };
  for (const auto &c : cases) {
    const std::u16string text = utf16(c.text);
    std::vector<SCRIPT_LOGATTR> attrs(text.size());
    ASSERT_EQ(ScriptBreak(text.data(), static_cast<int>(text.size()), nullptr, attrs.data()), S_OK);
    EXPECT_EQ(flags(attrs, c.field), c.expected) << c.why;
    for (const SCRIPT_LOGATTR &a : attrs) EXPECT_EQ(a.fInvalid, 0U);
  }
}

}  // namespace
}  // namespace vantor_test
