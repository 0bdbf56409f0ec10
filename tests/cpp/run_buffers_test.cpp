// The shaping run's buffers: the sizes of the item and glyph buffers, the
// glyph buffer's growth when the backend runs out of room, and items cut into
// pieces past the glyph limit.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "run_fixture.h"

namespace {

using namespace run_fixture;

TEST_F(ShapeItems, ItemBufferHoldsTwiceTheTextPlusEightButAtLeastSixteen) {
  const std::pair<std::size_t, int> cases[] = {{1, 16}, {2, 16}, {3, 16}, {4, 16}, {5, 18}, {100, 208}};
  for (const auto &[n, max_items] : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    std::u16string text(n, u'a');
    shape_ok(text);
    EXPECT_EQ(backend.itemize_max_items, max_items) << n;
    EXPECT_EQ(backend.itemize_chars, static_cast<int>(n));
    EXPECT_EQ(backend.itemize_text, text.data());
    EXPECT_EQ(backend.itemize_count_in, 0);
    EXPECT_TRUE(backend.itemize_buffers_zeroed) << n;
  }
}

TEST_F(ShapeItems, GlyphBufferHoldsThreeTimesTheItemPlusEightButAtLeastSixteen) {
  const std::pair<std::size_t, int> cases[] = {{1, 16}, {2, 16}, {3, 17}, {4, 20}, {10, 38}};
  for (const auto &[chars, max_glyphs] : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    shape_ok(std::u16string(chars, u'a'));
    ASSERT_EQ(backend.shapes.size(), 1u);
    EXPECT_EQ(backend.shapes[0].max_glyphs, max_glyphs) << chars;
    EXPECT_EQ(backend.shapes[0].chars, static_cast<int>(chars));
    EXPECT_TRUE(backend.shapes[0].glyph_buffers_zeroed);
  }
}

TEST_F(ShapeItems, OutOfMemoryDoublesTheGlyphBufferUpTo131072ThenFails) {
  usp = fake_table(kAllTrace);
  backend.plans[0].always_oom = true;
  EXPECT_EQ(shape_error(u"a", {.trace = true}), "ScriptShapeOpenType: glyph buffer overflow");

  std::vector<int> sizes;
  for (const ShapeCall &c : backend.shapes) sizes.push_back(c.max_glyphs);
  EXPECT_EQ(sizes, (std::vector<int>{16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536, 131072}));
  for (const ShapeCall &c : backend.shapes) EXPECT_TRUE(c.glyph_buffers_zeroed) << c.max_glyphs;

  // The trace restarts before the first attempt and before each of the 13 repeats.
  std::vector<std::string> expected = {"itemize", "tags"};
  for (int i = 0; i < 14; ++i) {
    expected.push_back("begin");
    expected.push_back("shape");
  }
  EXPECT_EQ(backend.log, expected);
}

// An item past the glyph limit, with a run that cuts it and a backend without
// ScriptBreak: pieces end after white space, or where a stretch has none at a
// code point boundary; each piece tells the backend whether it begins or ends
// the text (fEngineReserved: 1 not the beginning, 2 not the end).
TEST_F(ShapeItems, AnOverflowingItemIsCutIntoPiecesAfterWhiteSpace) {
  struct Case {
    std::u16string text;
    int longest;
    std::vector<std::pair<std::size_t, int>> pieces;  // start, characters
    std::vector<unsigned> engine_bits;
    std::size_t grapheme_cuts;
  };
  const std::vector<Case> cases = {
      {u"aa bb cc dd", 5, {{0, 3}, {3, 3}, {6, 5}}, {2, 3, 1}, 0},
      {u"abcdefgh", 4, {{0, 4}, {4, 4}}, {2, 1}, 1},
      {u"ab\U0001F600cd", 4, {{0, 2}, {2, 3}, {5, 1}}, {2, 3, 1}, 2},  // never inside a surrogate pair
  };
  for (const Case &c : cases) {
    backend = FakeBackend{};
    backend.longest_item = c.longest;
    Value doc = shape_ok(c.text, {.before = [](ShapeRun &run) { run.cut_long_items = true; }});
    std::vector<std::pair<std::size_t, int>> pieces;
    std::vector<unsigned> bits;
    for (const ShapeCall &s : backend.shapes) {
      if (s.chars > c.longest) continue;  // the attempts that overflowed
      pieces.emplace_back(s.start, s.chars);
      bits.push_back(s.analysis >> 30);
    }
    EXPECT_EQ(pieces, c.pieces) << std::string(c.text.begin(), c.text.end());
    EXPECT_EQ(bits, c.engine_bits);
    ASSERT_EQ(cuts.size(), 1U);
    EXPECT_EQ(cuts[0].pieces, c.pieces.size());
    EXPECT_EQ(cuts[0].grapheme_cuts, c.grapheme_cuts);
    EXPECT_EQ(final_of(doc).size(), c.text.size());
  }
}

TEST_F(ShapeItems, GlyphBufferStartingAt17StopsAfter69632) {
  backend.plans[0].always_oom = true;
  EXPECT_EQ(shape_error(u"abc"), "ScriptShapeOpenType: glyph buffer overflow");
  std::vector<int> sizes;
  for (const ShapeCall &c : backend.shapes) sizes.push_back(c.max_glyphs);
  EXPECT_EQ(sizes, (std::vector<int>{17, 34, 68, 136, 272, 544, 1088, 2176, 4352, 8704, 17408, 34816, 69632}));
}

TEST_F(ShapeItems, RetryAfterOutOfMemoryKeepsOnlyTheSuccessfulAttempt) {
  usp = fake_table(kAllTrace);
  backend.plans[0].oom_attempts = 2;
  backend.plans[0].stages = {{"final", {0x61}}};
  Value doc = shape_ok(u"a", {.trace = true});

  std::vector<int> sizes;
  for (const ShapeCall &c : backend.shapes) sizes.push_back(c.max_glyphs);
  EXPECT_EQ(sizes, (std::vector<int>{16, 32, 64}));
  for (const ShapeCall &c : backend.shapes) EXPECT_TRUE(c.glyph_buffers_zeroed) << c.max_glyphs;
  EXPECT_EQ(backend.log, (std::vector<std::string>{"itemize", "tags", "begin", "shape", "begin", "shape", "begin",
                                                   "shape", "count", "stage", "stop", "place"}));
  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 1u);
  EXPECT_EQ(stages[0].m, "vantor lookup final (item 0)");
}

}  // namespace
