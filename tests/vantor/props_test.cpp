// The glyph and character properties, ABC widths and break attributes the
// backend gives, against Microsoft's descriptions of SCRIPT_JUSTIFY,
// SCRIPT_CHARPROP, ABC and SCRIPT_LOGATTR and its ranking of kashida points.
#include <gtest/gtest.h>

#include <hb.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "hb_handles.h"

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

const char kNaskh[] = "NotoNaskhArabic-Regular.ttf";

// Each Arabic letter is its own cluster in these words (Noto Naskh forms no
// ligature of them); "none" where a letter does not join the one before it.
TEST(Justification, ClassesFallWhereMicrosoftPutsThem) {
  const struct {
    const char *font;
    const char *text;
    bool rtl;
    std::vector<std::string> expected;  // per cluster, logical order
    const char *rule;
  } cases[] = {
        {kNaskh, "مرحبا بالعالم", true,
                    {"none", "ra", "none", "normal", "alef", "ablank", "none", "alef", "none", "normal", "alef",
                     "none", "normal"},
                    "final ra, final alef; medial ba and final meem are rank 7; a space is an Arabic blank"},
        {kNaskh, "مدرسة يستحسن", true,
                    {"none", "ha", "none", "seen", "ha", "ablank", "none", "seen_m", "normal", "normal", "seen_m",
                     "normal"},
                    "final dal and teh marbuta rank with heh; initial and medial seen"},
        {kNaskh, "كتابه هو كتب بي بـص", true,
                    {"none", "normal", "alef", "none", "ha", "ablank", "none", "ra", "ablank", "none", "normal",
                     "ba", "ablank", "none", "ba", "ablank", "none", "kashida", "normal"},
                    "final heh, waw (with ra), beh and yeh (with ba); a tatweel in a word"},
        {"NotoSans-Regular.ttf", "a b\u00A0c", false,
                    {"none", "blank", "none", "blank", "none"},
                    "blanks outside an Arabic run; no inter-character point in Latin"},
        {kCjk, "日本語です　カー", false,
                    {"char", "char", "char", "char", "char", "blank", "char", "char"},
                    "ideographs and kana, the prolonged sound mark among them; the ideographic space is a blank"}};
  for (const auto &c : cases) {
    FontSession session(c.font);
    EXPECT_EQ(classes(session.cache(), utf16(c.text), c.rtl), c.expected) << c.rule;
  }
}

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
TEST(Abc, SpacesAroundTheInkOfTheRun) {
  const struct {
    const char *font, *text;
    bool rtl;
  } cases[] = {{"NotoSans-Regular.ttf", "Wave", false}, {"NotoSans-Regular.ttf", " fly ", false},
               {"NotoSans-Regular.ttf", "   ", false}, {kNaskh, "بِسْمِ", true}, {kNaskh, "مرحبا", true}};
  for (const auto &c : cases) {
    FontSession session(c.font);
    const Shaped shaped = shape_text(session.cache(), utf16(c.text), c.rtl);
    ASSERT_EQ(shaped.place_hr, S_OK);
    const std::vector<std::uint8_t> bytes = read_file(font_path(c.font));
    const vantor::BlobPtr blob(hb_blob_create(reinterpret_cast<const char *>(bytes.data()),
                                              static_cast<unsigned>(bytes.size()), HB_MEMORY_MODE_READONLY,
                                              nullptr, nullptr));
    const vantor::FacePtr face(hb_face_create(blob.get(), 0));
    const vantor::FontPtr font(hb_font_create(face.get()));
    // Left to right: a right-to-left item's arrays are in logical order here.
    const std::size_t n = shaped.glyphs.size();
    int pen = 0, ink_start = 0, ink_end = 0;
    bool inked = false;
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t k = c.rtl ? n - 1 - j : j;
      hb_glyph_extents_t e{};
      hb_font_get_glyph_extents(font.get(), shaped.glyphs[k], &e);
      const int left = pen + (c.rtl ? -shaped.offsets[k].du : shaped.offsets[k].du) + e.x_bearing;
      if (e.width > 0) {
        ink_start = inked ? std::min(ink_start, left) : left;
        ink_end = inked ? std::max(ink_end, left + e.width) : left + e.width;
        inked = true;
      }
      pen += shaped.advances[k];
    }
    // A run without ink (spaces): all of it after.
    if (!inked) ink_start = ink_end = 0;
    EXPECT_EQ(shaped.abc.abcA, ink_start) << c.text;
    EXPECT_EQ(shaped.abc.abcB, static_cast<UINT>(ink_end - ink_start)) << c.text;
    EXPECT_EQ(shaped.abc.abcC, pen - ink_end) << c.text;
  }
}

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
