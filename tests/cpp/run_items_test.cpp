// What the shaping run hands the backend for each item: script tags, the
// itemization state and the analysis, feature ranges, the item's slice of the
// text, and the bounds of the items it shapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "run_fixture.h"

namespace {

using namespace run_fixture;

// ---- script tags, state and analysis ------------------------------------------------------

TEST_F(ShapeItems, ScriptTagComesFromTheFontThenTheItemizerThenDflt) {
  struct Case {
    const char *what;
    HRESULT hr;
    std::vector<OPENTYPE_TAG> font_tags;
    std::optional<int> count;
    OPENTYPE_TAG itemizer;
    OPENTYPE_TAG expected;
    const char *hex;
  };
  const Case cases[] = {
      {"font tag", S_OK, {kArab}, {}, kLatn, kArab, "0x62617261"},
      {"first of several font tags", S_OK, {kArab, kLatn}, {}, kLatn, kArab, "0x62617261"},
      {"failed call", E_FAIL, {kArab}, 1, kLatn, kLatn, "0x6e74616c"},
      {"no tag returned", S_OK, {kArab}, 0, kLatn, kLatn, "0x6e74616c"},
      {"negative count", S_OK, {kArab}, -1, kLatn, kLatn, "0x6e74616c"},
      {"zero first tag", S_OK, {0, kArab}, 2, kLatn, kLatn, "0x6e74616c"},
      {"nothing anywhere", S_OK, {}, 0, 0, kDflt, "0x746c6664"},
      {"failed call, itemizer tag zero", E_INVALIDARG, {kArab}, 1, 0, kDflt, "0x746c6664"},
  };
  for (const Case &c : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.tags_hr = c.hr;
    backend.font_tags = c.font_tags;
    backend.font_tag_count = c.count;
    backend.item_tags = {c.itemizer};
    Value doc = shape_ok(u"a");
    ASSERT_EQ(backend.shapes.size(), 1u) << c.what;
    ASSERT_EQ(backend.places.size(), 1u) << c.what;
    EXPECT_EQ(backend.shapes[0].script, c.expected) << c.what;
    EXPECT_EQ(backend.places[0].script, c.expected) << c.what;
    EXPECT_EQ(backend.shapes[0].lang, kDflt) << c.what;
    EXPECT_EQ(backend.places[0].lang, kDflt) << c.what;
    EXPECT_EQ(messages_of(doc), std::vector<std::string>{item_line(0, 0, 1, 1, c.hex)}) << c.what;
    EXPECT_EQ(stages_of(doc)[0].m, std::string("Uniscribe shape item 0 (script 0, tag ") + c.hex + ")") << c.what;
    EXPECT_EQ(backend.tags_max, std::vector<int>{8}) << c.what;
    EXPECT_TRUE(backend.tags_buffers_zeroed) << c.what;
  }
}

TEST_F(ShapeItems, RightToLeftSetsBidiLevelOneAndArabicNumberContextOnly) {
  shape_ok(u"a", {.rtl = 1});
  EXPECT_EQ(backend.itemize_state, 0x0801);
  EXPECT_EQ(backend.itemize_control, 0u);

  FakeBackend fresh;
  backend = std::move(fresh);
  shape_ok(u"a", {.rtl = 0});
  EXPECT_EQ(backend.itemize_state, 0u);
  EXPECT_EQ(backend.itemize_control, 0u);
}

TEST_F(ShapeItems, ShapingAndPlacingSeeTheItemsAnalysisWithLogicalOrder) {
  SCRIPT_ITEM first = item_at(0, 7);
  first.a.fLinkBefore = 1;
  first.a.s.uBidiLevel = 2;
  SCRIPT_ITEM second = item_at(2, 9, true);
  second.a.s.uBidiLevel = 1;
  backend.items = {first, second, item_at(4)};
  shape_ok(u"abcd");

  ASSERT_EQ(backend.shapes.size(), 2u);
  ASSERT_EQ(backend.places.size(), 2u);
  const std::uint32_t itemized[] = {bits_of(first.a), bits_of(second.a)};
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(backend.tags_analysis[i], itemized[i]) << i;
    EXPECT_EQ(backend.shapes[i].analysis, itemized[i] | kLogicalOrderBit) << i;
    EXPECT_EQ(backend.places[i].analysis, itemized[i] | kLogicalOrderBit) << i;
  }
}

// ---- arguments of shaping and placing --------------------------------------------------------

TEST_F(ShapeItems, EmptyFeatureListGivesNoRanges) {
  backend.items = {item_at(0), item_at(2), item_at(5)};
  shape_ok(u"abcde");
  ASSERT_EQ(backend.shapes.size(), 2u);
  for (const ShapeCall &c : backend.shapes) {
    EXPECT_TRUE(c.range_chars_null);
    EXPECT_TRUE(c.range_props_null);
    EXPECT_EQ(c.ranges, 0);
  }
  for (const PlaceCall &c : backend.places) {
    EXPECT_TRUE(c.range_chars_null);
    EXPECT_TRUE(c.range_props_null);
    EXPECT_EQ(c.ranges, 0);
  }
}

TEST_F(ShapeItems, FeatureRecordsFormOneRangeOverEachWholeItem) {
  const tesvo::FeatureList features = {{0x6167696C, 1}, {0x6E72656B, 0}};
  backend.items = {item_at(0), item_at(2), item_at(5)};
  shape_ok(u"abcde", {.features = features});

  auto same = [](const std::vector<OPENTYPE_FEATURE_RECORD> &a, const tesvo::FeatureList &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto &x, auto &y) {
             return x.tagFeature == y.tagFeature && x.lParameter == y.lParameter;
           });
  };
  const std::vector<int> lengths[] = {{2}, {3}};
  ASSERT_EQ(backend.shapes.size(), 2u);
  ASSERT_EQ(backend.places.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(backend.shapes[i].ranges, 1);
    EXPECT_EQ(backend.shapes[i].range_chars, lengths[i]);
    EXPECT_TRUE(same(backend.shapes[i].records, features)) << i;
    EXPECT_NE(backend.shapes[i].records_address, features.data());
    EXPECT_EQ(backend.places[i].ranges, 1);
    EXPECT_EQ(backend.places[i].range_chars, lengths[i]);
    EXPECT_TRUE(same(backend.places[i].records, features)) << i;
  }
}

// The records a backend receives for one item are its own: writing into them
// changes neither the caller's list nor what the next item receives.
HRESULT shape_and_scribble(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa, OPENTYPE_TAG script, OPENTYPE_TAG lang,
                           int *range_chars, TEXTRANGE_PROPERTIES **props, int ranges, const WCHAR *chars_in,
                           int chars, int max_glyphs, WORD *clusters, SCRIPT_CHARPROP *char_props, WORD *glyphs,
                           SCRIPT_GLYPHPROP *glyph_props, int *glyph_count) {
  HRESULT hr = fake_shape(hdc, psc, psa, script, lang, range_chars, props, ranges, chars_in, chars, max_glyphs,
                          clusters, char_props, glyphs, glyph_props, glyph_count);
  if (props != nullptr) props[0]->potfRecords[0].lParameter = 99;
  return hr;
}

TEST_F(ShapeItems, EachItemGetsAFreshCopyOfTheFeatureRecords) {
  const tesvo::FeatureList features = {{0x6167696C, 1}};
  usp.shape = shape_and_scribble;
  backend.items = {item_at(0), item_at(2), item_at(5)};
  shape_ok(u"abcde", {.features = features});
  ASSERT_EQ(backend.shapes.size(), 2u);
  EXPECT_EQ(backend.shapes[1].records.at(0).lParameter, 1);
  EXPECT_EQ(features[0].lParameter, 1);
}

TEST_F(ShapeItems, ShapingAndPlacingSeeTheItemsSliceOfTheText) {
  backend.items = {item_at(0), item_at(3), item_at(5)};
  backend.plans[3].glyphs = std::vector<WORD>{7, 8, 9};
  backend.plans[3].clusters = std::vector<WORD>{0, 2};
  shape_ok(u"abcde");
  ASSERT_EQ(backend.shapes.size(), 2u);
  EXPECT_EQ(backend.shapes[0].start, 0u);
  EXPECT_EQ(backend.shapes[0].chars, 3);
  EXPECT_EQ(backend.shapes[1].start, 3u);
  EXPECT_EQ(backend.shapes[1].chars, 2);
  EXPECT_EQ(backend.shapes[1].glyph_count_in, 0);
  ASSERT_EQ(backend.places.size(), 2u);
  const PlaceCall &p = backend.places[1];
  EXPECT_EQ(p.start, 3u);
  EXPECT_EQ(p.chars, 2);
  EXPECT_EQ(p.glyph_count, 3);
  EXPECT_EQ(p.glyphs, (std::vector<WORD>{7, 8, 9}));
  EXPECT_EQ(p.clusters, (std::vector<WORD>{0, 2}));
  EXPECT_TRUE(p.abc_null);
  EXPECT_EQ(std::count(backend.log.begin(), backend.log.end(), "free"), 0);
}

// ---- item bounds ----------------------------------------------------------------------------

TEST_F(ShapeItems, ItemBoundsAreClampedAndEmptyItemsSkipped) {
  struct Case {
    const char *what;
    std::vector<int> positions;  // the items, then the closing entry
    std::vector<std::pair<std::size_t, std::size_t>> shaped;  // (index, start) of shaped items
    std::vector<std::size_t> ends;
  };
  const Case cases[] = {
      {"empty middle item", {0, 2, 2, 4}, {{0, 0}, {2, 2}}, {2, 4}},
      {"negative start", {-5, 2, 4}, {{0, 0}, {1, 2}}, {2, 4}},
      {"end before start", {3, 1, 4}, {{1, 1}}, {4}},
      {"start beyond the text", {0, 9, 12}, {{0, 0}}, {4}},
      {"closing entry beyond the text", {0, 99}, {{0, 0}}, {4}},
  };
  for (const Case &c : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    for (int pos : c.positions) backend.items.push_back(item_at(pos));
    Value doc = shape_ok(u"abcd");
    std::vector<std::string> expected_lines, expected_labels;
    for (std::size_t i = 0; i < c.shaped.size(); ++i) {
      auto [index, start] = c.shaped[i];
      expected_lines.push_back(item_line(index, start, c.ends[i], c.ends[i] - start));
      expected_labels.push_back("Uniscribe shape item " + std::to_string(index) + " (script 0, tag 0x6e74616c)");
    }
    EXPECT_EQ(messages_of(doc), expected_lines) << c.what;
    std::vector<std::string> labels;
    for (const StageEntry &e : stages_of(doc)) labels.push_back(e.m);
    EXPECT_EQ(labels, expected_labels) << c.what;
    EXPECT_EQ(std::count(backend.log.begin(), backend.log.end(), "tags"),
              static_cast<std::ptrdiff_t>(c.shaped.size()))
        << c.what;
  }
}

TEST_F(ShapeItems, NoGlyphsWhenEveryItemIsEmpty) {
  backend.items = {item_at(0), item_at(-3)};
  EXPECT_EQ(shape_error(u"abcd"), "no glyphs produced");
  EXPECT_EQ(backend.log, std::vector<std::string>{"itemize"});
}

TEST_F(ShapeItems, ItemInTheLastSlotOfTheBufferEndsAtTheEndOfTheText) {
  // One character: 16 items plus the closing entry fit; the 17th item has no
  // closing entry, so it runs to the end of the text.
  backend.items = std::vector<SCRIPT_ITEM>(17, item_at(0));
  backend.item_count = 17;
  Value doc = shape_ok(u"a");
  EXPECT_EQ(messages_of(doc), std::vector<std::string>{item_line(16, 0, 1, 1)});
}

TEST_F(ShapeItems, NoItemsMeansNoGlyphs) {
  for (int count : {0, -1}) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.items = {item_at(0), item_at(1)};
    backend.item_count = count;
    EXPECT_EQ(shape_error(u"a"), "no glyphs produced") << count;
    EXPECT_EQ(backend.log, std::vector<std::string>{"itemize"});
  }
}

TEST_F(ShapeItems, ItemWithoutGlyphsIsPlacedAndReportedButAddsNoGlyphs) {
  backend.items = {item_at(0), item_at(2), item_at(4)};
  backend.plans[0].glyphs = std::vector<WORD>{};
  Value doc = shape_ok(u"abcd");
  ASSERT_EQ(backend.places.size(), 2u);
  EXPECT_EQ(backend.places[0].glyph_count, 0);
  EXPECT_EQ(messages_of(doc), (std::vector<std::string>{item_line(0, 0, 2, 0), item_line(1, 2, 4, 2)}));
  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 2u);
  EXPECT_EQ(stages[0].m, "Uniscribe shape item 0 (script 0, tag 0x6e74616c)");
  EXPECT_TRUE(stages[0].glyphs.empty());
  EXPECT_EQ(ids_of(final_of(doc)), (std::vector<std::uint64_t>{'c', 'd'}));
}

TEST_F(ShapeItems, NoGlyphsWhenEveryItemShapesToNothing) {
  backend.items = {item_at(0), item_at(1), item_at(2)};
  backend.plans[0].glyphs = std::vector<WORD>{};
  backend.plans[1].glyphs = std::vector<WORD>{};
  EXPECT_EQ(shape_error(u"ab"), "no glyphs produced");
  EXPECT_EQ(backend.places.size(), 2u);
}

}  // namespace
