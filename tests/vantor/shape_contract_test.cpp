// Clusters, glyph properties, glyph order, feature ranges, buffer sizes and
// the script cache of ScriptShapeOpenType and ScriptPlaceOpenType, and the
// tags of ScriptGetFontScriptTags.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "vantor.h"

namespace vantor_test {
namespace {

using Words = std::vector<WORD>;

TEST(ShapeClusters, LigatureSharesOneCluster) {
  FontSession session("NotoSans-Regular.ttf");
  const Shaped shaped = shape_text(session.cache(), u"office");
  ASSERT_EQ(shaped.glyphs.size(), 4U) << "o, ffi, c, e";
  EXPECT_EQ(shaped.log_clust, (Words{0, 1, 1, 1, 2, 3}));
  for (const SCRIPT_GLYPHPROP &prop : shaped.glyph_props) EXPECT_EQ(prop.sva.fClusterStart, 1U);
  for (std::size_t c = 0; c < 6; ++c) {
    EXPECT_EQ(shaped.char_props[c].fCanGlyphAlone, c == 0 || c > 3 ? 1U : 0U) << c;
  }
}

TEST(ShapeClusters, MarksAreDiacriticsInTheirBaseCluster) {
  FontSession session("NotoNaskhArabic-Regular.ttf");
  const Shaped shaped = shape_text(session.cache(), utf16("بِسْمِ"), true);
  ASSERT_EQ(shaped.glyphs.size(), 6U);  // three letters, each with a mark
  EXPECT_EQ(shaped.log_clust, (Words{0, 0, 2, 2, 4, 4}));
  for (std::size_t k = 0; k < 6; ++k) {
    const unsigned mark = k % 2;
    EXPECT_EQ(shaped.glyph_props[k].sva.fDiacritic, mark) << k;
    EXPECT_EQ(shaped.glyph_props[k].sva.fZeroWidth, mark) << k;
    EXPECT_EQ(shaped.glyph_props[k].sva.fClusterStart, 1 - mark) << k;
  }
}

TEST(ShapeClusters, MarksAreFoundInFontsWithoutGlyphClasses) {
  const std::string path = "/usr/share/fonts/truetype/dejavu/DejaVuMathTeXGyre.ttf";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " not installed";
  const std::vector<std::uint8_t> bytes = read_file(path);  // no GDEF glyph classes
  ASSERT_EQ(usp_set_font_bytes(bytes.data(), bytes.size()), 0);
  SCRIPT_CACHE cache = nullptr;
  // A nonspacing (Mn) and an enclosing (Me) mark.
  const Shaped shaped = shape_text(&cache, u"q\u0301x\u20DD");
  ScriptFreeCache(&cache);
  usp_clear_font_bytes();
  ASSERT_EQ(shaped.glyphs.size(), 4U);
  EXPECT_EQ(shaped.log_clust, (Words{0, 0, 2, 2}));
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(shaped.glyph_props[k].sva.fDiacritic, k % 2) << k;
}

TEST(ShapeOrder, VisualOrderIsTheLogicalOrderReversed) {
  FontSession session("NotoNaskhArabic-Regular.ttf");
  const std::u16string text = utf16("بِسْمِ اللَّهِ");
  ShapeOptions visual_order;
  visual_order.logical_order = false;
  const Shaped logical = shape_text(session.cache(), text, true);
  const Shaped visual = shape_text(session.cache(), text, true, visual_order);
  const std::size_t n = logical.glyphs.size();
  ASSERT_EQ(visual.glyphs.size(), n);
  for (std::size_t k = 0; k < n; ++k) {
    EXPECT_EQ(visual.glyphs[k], logical.glyphs[n - 1 - k]);
    EXPECT_EQ(visual.advances[k], logical.advances[n - 1 - k]);
    EXPECT_EQ(visual.offsets[k].du, logical.offsets[n - 1 - k].du);
    EXPECT_EQ(visual.glyph_props[k].sva.fClusterStart,
              logical.glyph_props[n - 1 - k].sva.fClusterStart);
  }
  for (std::size_t c = 0; c < text.size(); ++c) {
    EXPECT_EQ(visual.log_clust[c], n - 1 - logical.log_clust[c]) << "char " << c;
  }
}

ShapeOptions ranges(std::vector<int> chars, std::vector<std::vector<OPENTYPE_FEATURE_RECORD>> f) {
  ShapeOptions options;
  options.range_chars = std::move(chars);
  options.range_features = std::move(f);
  return options;
}

TEST(ShapeFeatures, RecordsApplyToTheirRangeOnly) {
  const std::string font = font_path("NotoSans-Regular.ttf");
  const auto first_only = hb_shape(font, u"abc", "--features=smcp[0:1]");
  const auto all = hb_shape(font, u"abc", "--features=smcp");
  const auto no_liga = hb_shape(font, u"office", "--features=-liga");
  if (first_only.empty()) GTEST_SKIP() << "hb-shape could not be run";
  FontSession session("NotoSans-Regular.ttf");
  const OPENTYPE_FEATURE_RECORD smcp{ot_tag("smcp"), 1}, liga_off{ot_tag("liga"), 0};
  EXPECT_EQ(shape_text(session.cache(), u"abc", false, ranges({1, 2}, {{smcp}, {}})).glyphs,
            ids(first_only));
  EXPECT_EQ(shape_text(session.cache(), u"abc", false, ranges({0, 3}, {{}, {smcp}})).glyphs,
            ids(all));
  EXPECT_EQ(shape_text(session.cache(), u"office", false, ranges({6}, {{liga_off}})).glyphs,
            ids(no_liga));
}

TEST(ShapeFeatures, RangesThatDoNotCoverTheItemAreInvalid) {
  FontSession session("NotoSans-Regular.ttf");
  const OPENTYPE_FEATURE_RECORD negative{ot_tag("smcp"), -1};
  const auto hr = [&](const ShapeOptions &options) {
    return shape_text(session.cache(), u"abc", false, options).shape_hr;
  };
  EXPECT_EQ(hr(ranges({2}, {{}})), E_INVALIDARG);
  EXPECT_EQ(hr(ranges({2, 2}, {{}, {}})), E_INVALIDARG);
  EXPECT_EQ(hr(ranges({4, -1}, {{}, {}})), E_INVALIDARG);
  EXPECT_EQ(hr(ranges({3}, {{negative}})), E_INVALIDARG);
}

TEST(ShapeBuffers, TooFewGlyphSlotsIsOutOfMemory) {
  FontSession session("NotoSans-Regular.ttf");
  SCRIPT_ANALYSIS analysis = itemize(u"office", false).at(0).analysis;
  WORD log_clust[6], glyphs[4];
  SCRIPT_CHARPROP char_props[6];
  SCRIPT_GLYPHPROP props[4];
  int count = 0;
  for (int slots : {3, 4}) {
    EXPECT_EQ(ScriptShapeOpenType(nullptr, session.cache(), &analysis, ot_tag("latn"), kTagDflt,
                                  nullptr, nullptr, 0, u"office", 6, slots, log_clust,
                                  char_props, glyphs, props, &count),
              slots < 4 ? E_OUTOFMEMORY : S_OK);
  }
  // Log clusters are 16-bit: no item may have more than 65535 glyphs.
  EXPECT_EQ(shape_text(session.cache(), std::u16string(70000, u'a')).shape_hr, E_OUTOFMEMORY);
}

// A run too long for one item is kept for its pieces: each piece, taken from
// it or shaped anew, must be what a cache that never saw the run shapes.
TEST(ShapeBuffers, PiecesOfARunTooLongForAnItemAreShapedAsAlone) {
  FontSession session("NotoNaskhArabic-Regular.ttf");
  std::u16string text;
  while (text.size() < 90000) text += utf16("بِسْمِ اللَّهِ الرَّحْمَنِ لا ");
  const Item whole = itemize(text, true).at(0);
  ASSERT_EQ(whole.end, static_cast<int>(text.size()));
  ASSERT_EQ(shape_item(session.cache(), text, whole).shape_hr, E_OUTOFMEMORY);
  const int space = static_cast<int>(text.find(u' ', 30000)) + 1;
  const int later = static_cast<int>(text.find(u' ', 40000)) + 1;
  // Cut after spaces (safe), inside a word (not after white space), to the end.
  for (const auto &[start, end] : {std::pair{0, space}, std::pair{space, later}, std::pair{later, later + 9},
                                  std::pair{later + 9, whole.end}}) {
    Item piece = whole;
    piece.start = start;
    piece.end = end;
    piece.analysis.s.fEngineReserved = static_cast<WORD>((start > 0 ? 1 : 0) | (end < whole.end ? 2 : 0));
    const Shaped kept = shape_item(session.cache(), text, piece);
    SCRIPT_CACHE fresh = nullptr;
    const Shaped alone = shape_item(&fresh, text, piece);
    ScriptFreeCache(&fresh);
    ASSERT_EQ(kept.shape_hr, alone.shape_hr) << start;
    EXPECT_EQ(kept.glyphs, alone.glyphs) << start;
    EXPECT_EQ(kept.log_clust, alone.log_clust) << start;
    EXPECT_EQ(kept.advances, alone.advances) << start;
    EXPECT_TRUE(std::equal(kept.offsets.begin(), kept.offsets.end(), alone.offsets.begin(), alone.offsets.end(),
                           [](GOFFSET a, GOFFSET b) { return a.du == b.du && a.dv == b.dv; }))
        << start;
  }
}

TEST(ShapeBuffers, NoFontAndNoCacheIsPending) {
  usp_clear_font_bytes();
  SCRIPT_CACHE cache = nullptr;
  EXPECT_EQ(shape_text(&cache, u"ab").shape_hr, E_PENDING);
  EXPECT_EQ(cache, nullptr);
}

TEST(Place, ReshapesWhenTheCacheDidNotShapeTheItem) {
  FontSession session("NotoSans-Regular.ttf");
  const std::u16string text = u"AVATAR Wave";
  Shaped shaped = shape_text(session.cache(), text);
  EXPECT_EQ(static_cast<long long>(shaped.abc.abcA) + shaped.abc.abcB + shaped.abc.abcC,
            std::accumulate(shaped.advances.begin(), shaped.advances.end(), 0));
  SCRIPT_ANALYSIS analysis = itemize(text, false).at(0).analysis;
  analysis.fLogicalOrder = 1;
  const int n = static_cast<int>(shaped.glyphs.size());
  const int n_chars = static_cast<int>(text.size());
  std::vector<int> advances(shaped.glyphs.size());
  std::vector<GOFFSET> offsets(shaped.glyphs.size());
  const auto place = [&](SCRIPT_CACHE *cache) {
    return ScriptPlaceOpenType(nullptr, cache, &analysis, shaped.tag, kTagDflt, nullptr, nullptr,
                               0, text.data(), shaped.log_clust.data(), nullptr, n_chars,
                               shaped.glyphs.data(), nullptr, n, advances.data(),
                               offsets.data(), nullptr);
  };
  SCRIPT_CACHE fresh = nullptr;
  ASSERT_EQ(place(&fresh), S_OK);
  ScriptFreeCache(&fresh);
  EXPECT_EQ(advances, shaped.advances);

  // Glyphs that are not the shaping of this text: nominal advances, no kern.
  const auto unkerned = hb_shape(font_path("NotoSans-Regular.ttf"), u"VA", "--features=-kern");
  if (unkerned.empty()) GTEST_SKIP() << "hb-shape could not be run";
  std::swap(shaped.glyphs[0], shaped.glyphs[1]);  // "VA..." for the text "AV..."
  ASSERT_EQ(place(session.cache()), S_OK);
  EXPECT_EQ(advances[0], unkerned[0].ax);
  EXPECT_EQ(advances[1], unkerned[1].ax);
}

TEST(ScriptCacheUse, ShapingComparesTheTextNotItsAddress) {
  FontSession session("NotoSans-Regular.ttf");
  std::u16string buffer = u"AVAVAV";
  const Shaped first = shape_text(session.cache(), buffer);
  buffer = u"office";  // same length, same storage
  const Shaped second = shape_text(session.cache(), buffer);
  SCRIPT_CACHE fresh = nullptr;
  const Shaped expected = shape_text(&fresh, buffer);
  ScriptFreeCache(&fresh);
  EXPECT_NE(first.glyphs, second.glyphs);
  EXPECT_EQ(second.glyphs, expected.glyphs);
  EXPECT_EQ(second.advances, expected.advances);
}

TEST(ScriptCacheUse, CacheKeepsItsFontUntilFreed) {
  FontSession session("NotoSans-Regular.ttf");
  const Shaped before = shape_text(session.cache(), u"AVATAR");
  usp_clear_font_bytes();
  const Shaped after = shape_text(session.cache(), u"AVATAR");
  EXPECT_EQ(after.glyphs, before.glyphs);
  EXPECT_EQ(after.advances, before.advances);
  EXPECT_EQ(ScriptFreeCache(session.cache()), S_OK);
  EXPECT_EQ(*session.cache(), nullptr);
  EXPECT_EQ(ScriptFreeCache(session.cache()), S_OK);
  EXPECT_EQ(ScriptFreeCache(nullptr), S_OK);
}

TEST(FontScriptTags, FontsTagsForTheScriptBestFirst) {
  FontSession session("NotoSansDevanagari-Regular.ttf");
  const auto tags = [&](unsigned script, int max_tags, HRESULT expected) {
    SCRIPT_ANALYSIS analysis{};
    analysis.eScript = static_cast<WORD>(script);
    OPENTYPE_TAG out[8] = {};
    int count = 0;
    EXPECT_EQ(ScriptGetFontScriptTags(nullptr, session.cache(), &analysis, max_tags, out, &count),
              expected);
    return std::vector<OPENTYPE_TAG>(out, out + count);
  };
  EXPECT_EQ(tags(VANTOR_SCRIPT_DEVANAGARI, 8, S_OK),
            (std::vector<OPENTYPE_TAG>{ot_tag("dev2"), ot_tag("deva")}));
  tags(VANTOR_SCRIPT_DEVANAGARI, 1, E_OUTOFMEMORY);
  EXPECT_TRUE(tags(VANTOR_SCRIPT_THAI, 8, USP_E_SCRIPT_NOT_IN_FONT).empty());
  tags(VANTOR_SCRIPT_NONE, 8, USP_E_SCRIPT_NOT_IN_FONT);
}

}  // namespace
}  // namespace vantor_test
