// Shaping and placing single-script, single-direction texts gives what the
// system's hb-shape gives, and the language and script tags reach HarfBuzz.
#include <gtest/gtest.h>
#include <hb-ot.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

#include "harness.h"
#include "vantor.h"

namespace vantor_test {
namespace {

struct OracleCase {
  const char *font, *text;
  bool rtl;
};
void PrintTo(const OracleCase &c, std::ostream *out) { *out << c.font << " " << c.text; }

// Kerning, ligatures and marks in Latin, Greek, Cyrillic, Arabic and Hebrew,
// and the Indic and South-East Asian shapers.
const OracleCase kCases[] = {
    {"NotoSans-Regular.ttf", "AVATAR Wave", false},
    {"NotoSans-Regular.ttf", "office affluent", false},
    {"NotoSans-Regular.ttf", "Ελληνικά γλώσσα", false},
    {"NotoSans-Regular.ttf", "Привет, мир!", false},
    {"NotoSans-Regular.ttf", "a\u0308\u0323 q\u0301", false},
    {"NotoSerif-Regular.ttf", "Typography, Voyage", false},
    {"NotoNaskhArabic-Regular.ttf", "مرحبا", true},
    {"NotoNaskhArabic-Regular.ttf", "بِسْمِ اللَّهِ الرَّحْمَٰنِ الرَّحِيمِ", true},
    {"NotoSansArabic-Regular.ttf", "لا إله إلا الله", true},
    {"NotoSansHebrew-Regular.ttf", "שָׁלוֹם עוֹלָם", true},
    {"NotoSansDevanagari-Regular.ttf", "क्षत्रिय हिन्दी र्क", false},
    {"NotoSansBengali-Regular.ttf", "বাংলা ভাষা", false},
    {"NotoSansTamil-Regular.ttf", "தமிழ் மொழி", false},
    {"NotoSansThai-Regular.ttf", "ภาษาไทย ที่นี่", false},
    {"NotoSansKhmer-Regular.ttf", "ភាសាខ្មែរ", false},
    {"NotoSansMyanmar-Regular.ttf", "မြန်မာဘာသာ", false},
};

class ShapeMatchesHarfBuzz : public ::testing::TestWithParam<OracleCase> {};

TEST_P(ShapeMatchesHarfBuzz, GlyphsAdvancesAndOffsets) {
  const OracleCase &c = GetParam();
  const std::u16string text = utf16(c.text);
  const std::vector<OracleGlyph> oracle = hb_shape(font_path(c.font), text);
  if (oracle.empty()) GTEST_SKIP() << "hb-shape (package libharfbuzz-bin) could not be run";
  FontSession session(c.font);
  Shaped shaped = shape_text(session.cache(), text, c.rtl);
  ASSERT_EQ(shaped.place_hr, S_OK);
  if (c.rtl) {  // logical order out; hb-shape reports visual order
    std::reverse(shaped.glyphs.begin(), shaped.glyphs.end());
    std::reverse(shaped.advances.begin(), shaped.advances.end());
    std::reverse(shaped.offsets.begin(), shaped.offsets.end());
  }
  ASSERT_EQ(shaped.glyphs, ids(oracle));
  for (std::size_t k = 0; k < oracle.size(); ++k) {
    SCOPED_TRACE("glyph " + std::to_string(k));
    EXPECT_EQ(shaped.advances[k], oracle[k].ax);
    // GOFFSET.du runs along the advance direction.
    EXPECT_EQ(shaped.offsets[k].du, c.rtl ? -oracle[k].dx : oracle[k].dx);
    EXPECT_EQ(shaped.offsets[k].dv, oracle[k].dy);
  }
}

INSTANTIATE_TEST_SUITE_P(NotoFonts, ShapeMatchesHarfBuzz, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<OracleCase> &info) {
                           const std::string font = info.param.font;
                           return font.substr(0, font.find('-')) + std::to_string(info.index);
                         });

TEST(ShapeTags, LanguageSystemAndScriptTagsReachHarfBuzz) {
  // NotoSans has a Romanian locl; NotoSansDevanagari's old 'deva' lookups
  // shape this conjunct differently from 'dev2', HarfBuzz's own choice.
  const std::u16string romanian = utf16("şţ"), conjunct = utf16("ङ्क");
  const std::string sans = font_path("NotoSans-Regular.ttf");
  const std::string deva = font_path("NotoSansDevanagari-Regular.ttf");
  const auto rom = hb_shape(sans, romanian, "--language=ro");
  const auto old = hb_shape(deva, conjunct, "--language=x-hbsc-64657661");
  if (rom.empty() || old.empty()) GTEST_SKIP() << "hb-shape could not be run";
  ASSERT_NE(ids(rom), ids(hb_shape(sans, romanian))) << "the font's ROM locl changed?";
  ASSERT_NE(ids(old), ids(hb_shape(deva, conjunct))) << "the font's deva lookups changed?";

  ShapeOptions options;
  options.language = ot_tag("ROM ");
  {
    FontSession session("NotoSans-Regular.ttf");
    EXPECT_EQ(shape_text(session.cache(), romanian, false, options).glyphs, ids(rom));
  }
  options = {};
  options.script_tag = ot_tag("deva");
  FontSession session("NotoSansDevanagari-Regular.ttf");
  EXPECT_EQ(shape_text(session.cache(), conjunct, false, options).glyphs, ids(old));
}

// BCP 47 codes map to the language systems HarfBuzz picks for them; an
// OpenType tag given as private use is handed back as it is.
TEST(ShapeTags, LanguageCodesMapAsHarfBuzzMapsThem) {
  for (const char *code : {"sr", "ur", "zh-Hant", "de-CH", "x-hbotabcd", "tr", "und", "xyz"}) {
    SCOPED_TRACE(code);
    std::array<hb_tag_t, HB_OT_MAX_TAGS_PER_LANGUAGE> expected{};
    unsigned count = static_cast<unsigned>(expected.size());
    hb_ot_tags_from_script_and_language(HB_SCRIPT_UNKNOWN, hb_language_from_string(code, -1), nullptr, nullptr,
                                        &count, expected.data());
    OPENTYPE_TAG got[HB_OT_MAX_TAGS_PER_LANGUAGE] = {};
    ASSERT_EQ(usp_language_tags(code, got, HB_OT_MAX_TAGS_PER_LANGUAGE), static_cast<int>(count));
    for (unsigned i = 0; i < count; ++i) EXPECT_EQ(got[i], __builtin_bswap32(expected[i])) << i;
  }
  OPENTYPE_TAG serbian[4] = {};
  ASSERT_GE(usp_language_tags("sr", serbian, 4), 1);
  EXPECT_EQ(serbian[0], ot_tag("SRB "));
  EXPECT_EQ(usp_language_tags("", serbian, 4), -1);
  EXPECT_EQ(usp_language_tags(nullptr, serbian, 4), -1);
}

// Debian's Inter variable font (fonts-inter-variable): glyf, gvar, HVAR,
// kerning and substitutions that vary with the weight.
std::string inter_variable() {
  for (const char *path : {"/usr/share/fonts/truetype/inter-vf/Inter-roman.var.ttf",
                           "/usr/share/fonts/truetype/inter-vf/InterVariable.ttf"}) {
    if (std::FILE *file = std::fopen(path, "rb")) {
      std::fclose(file);
      return path;
    }
  }
  return "";
}

// Glyphs, advances and offsets at a location equal hb-shape's at the same
// --variations, at the default, at and beyond the axis ends; going back to
// the default instance gives the default glyphs again.
TEST(ShapeVariations, LocationsMatchHarfBuzz) {
  const std::string font = inter_variable();
  if (font.empty()) GTEST_SKIP() << "fonts-inter-variable is not installed";
  const std::u16string text = utf16("AVATAR office Wave 1/2");
  if (hb_shape(font, text).empty()) GTEST_SKIP() << "hb-shape could not be run";
  struct Location {
    const char *hb;  // hb-shape's --variations
    std::vector<std::int32_t> pairs;
  };
  const std::int32_t wght = static_cast<std::int32_t>(ot_tag("wght"));
  const Location locations[] = {
      {"", {}},
      {"wght=100", {wght, 100 << 16}},
      {"wght=900", {wght, 900 << 16}},
      {"wght=2000", {wght, 2000 << 16}},
      {"wght=1", {wght, 1 << 16}},
      {"wght=651.5", {wght, 651 << 16 | 0x8000}},
      {"", {}},
  };
  std::vector<std::vector<WORD>> seen;
  FontSession session(font);
  for (const Location &at : locations) {
    SCOPED_TRACE(at.hb);
    ASSERT_EQ(usp_set_variations(at.pairs.data(), static_cast<int>(at.pairs.size() / 2)), VANTOR_LOCATION_OK);
    ScriptFreeCache(session.cache());  // a location takes effect with a new cache
    const std::vector<OracleGlyph> oracle = hb_shape(font, text, *at.hb ? std::string("--variations=") + at.hb : "");
    const Shaped shaped = shape_text(session.cache(), text);
    ASSERT_EQ(shaped.glyphs, ids(oracle));
    for (std::size_t k = 0; k < oracle.size(); ++k) {
      EXPECT_EQ(shaped.advances[k], oracle[k].ax) << "glyph " << k;
      EXPECT_EQ(shaped.offsets[k].du, oracle[k].dx) << "glyph " << k;
    }
    std::vector<WORD> advances(shaped.advances.begin(), shaped.advances.end());
    seen.push_back(advances);
  }
  EXPECT_NE(seen[1], seen[2]) << "the weight axis changed no advance";
  EXPECT_EQ(seen[2], seen[3]) << "a value beyond the axis end is clamped";
  EXPECT_EQ(seen.front(), seen.back());
  EXPECT_EQ(usp_set_variations(nullptr, 1), VANTOR_LOCATION_BAD_ARGUMENTS);
  EXPECT_EQ(usp_set_variations(nullptr, -1), VANTOR_LOCATION_BAD_ARGUMENTS);
}

// The coordinates reported are the clamped design values and HarfBuzz's
// normalized ones: -1, 0 and +1 at the minimum, default and maximum.
TEST(ShapeVariations, CoordinatesAreClampedAndNormalized) {
  const std::string font = inter_variable();
  if (font.empty()) GTEST_SKIP() << "fonts-inter-variable is not installed";
  FontSession session(font);
  const std::int32_t wght = static_cast<std::int32_t>(ot_tag("wght"));
  std::int32_t design[8] = {}, normalized[8] = {};
  const std::int32_t beyond[] = {wght, 5000 << 16};
  ASSERT_EQ(usp_set_variations(beyond, 1), VANTOR_LOCATION_OK);
  const int axes = usp_variation_coords(design, normalized, 8);
  ASSERT_GE(axes, 1);
  ASSERT_LE(axes, 8);
  // Where fvar puts the weight axis, and its end.
  const std::vector<std::uint8_t> bytes = read_file(font);
  hb_blob_t *blob = hb_blob_create(reinterpret_cast<const char *>(bytes.data()), static_cast<unsigned>(bytes.size()),
                                   HB_MEMORY_MODE_READONLY, nullptr, nullptr);
  hb_face_t *face = hb_face_create(blob, 0);
  hb_ot_var_axis_info_t weight{};
  const bool found = hb_ot_var_find_axis_info(face, HB_TAG('w', 'g', 'h', 't'), &weight);
  hb_face_destroy(face);
  hb_blob_destroy(blob);
  ASSERT_TRUE(found);
  const unsigned k = weight.axis_index;
  EXPECT_EQ(normalized[k], 1 << 14);
  EXPECT_EQ(design[k], static_cast<std::int32_t>(weight.max_value * 65536));
  ASSERT_EQ(usp_set_variations(nullptr, 0), VANTOR_LOCATION_OK);
  ASSERT_EQ(usp_variation_coords(design, normalized, 8), axes);
  EXPECT_EQ(normalized[k], 0);
  EXPECT_EQ(design[k], static_cast<std::int32_t>(weight.default_value * 65536));
}

}  // namespace
}  // namespace vantor_test
