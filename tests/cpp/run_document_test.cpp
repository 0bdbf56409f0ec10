// The document of a shaping run: its glyph records byte for byte, advances and
// offsets, right-to-left order and the cluster of every glyph.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json/writer.h"
#include "run_fixture.h"

namespace {

using namespace run_fixture;

std::string glyph_text(const std::string &indent, int ax, int cl, int g) {
  const std::string in = indent + "  ";
  return indent + "{\n" + in + "\"ax\": " + std::to_string(ax) + ",\n" + in + "\"ay\": 0,\n" + in +
         "\"cl\": " + std::to_string(cl) + ",\n" + in + "\"dx\": 0,\n" + in + "\"dy\": 0,\n" + in +
         "\"flags\": 0,\n" + in + "\"g\": " + std::to_string(g) + "\n" + indent + "}";
}

TEST_F(ShapeItems, DocumentOfOneItemByteForByte) {
  backend.items = {item_at(0, 3), item_at(2)};
  backend.plans[0].glyphs = std::vector<WORD>{5, 6};
  backend.plans[0].advances = {500, 600};
  Value doc = shape_ok(u"ab");
  const std::string expected =
      "{\n"
      "  \"engine\": \"uniscribe\",\n"
      "  \"final\": [\n" +
      glyph_text("    ", 500, 0, 5) + ",\n" + glyph_text("    ", 600, 1, 6) +
      "\n"
      "  ],\n"
      "  \"font_info\": {\n"
      "    \"family\": \"Fam\",\n"
      "    \"path\": \"/fonts/f.ttf\"\n"
      "  },\n"
      "  \"glyph_count\": 50,\n"
      "  \"messages\": [\n"
      "    \"Uniscribe item 0: script 3 tag 0x6e74616c chars 0..2 -> 2 glyphs\"\n"
      "  ],\n"
      "  \"stages\": [\n"
      "    {\n"
      "      \"depth\": 0,\n"
      "      \"effective\": true,\n"
      "      \"glyphs\": [\n" +
      glyph_text("        ", 500, 0, 5) + ",\n" + glyph_text("        ", 600, 1, 6) +
      "\n"
      "      ],\n"
      "      \"m\": \"Uniscribe shape item 0 (script 3, tag 0x6e74616c)\"\n"
      "    }\n"
      "  ],\n"
      "  \"upem\": 1000\n"
      "}";
  EXPECT_EQ(std::string(tesvo::render_json(doc).view()), expected);
}

TEST_F(ShapeItems, AdvancesAndOffsetsAreTakenAsReturned) {
  backend.plans[0].glyphs = std::vector<WORD>{65535, 0};
  backend.plans[0].advances = {-20, 2147483647};
  backend.plans[0].offsets = {{-3, 4}, {-2147483647 - 1, 7}};
  Value doc = shape_ok(u"ab");
  EXPECT_EQ(final_of(doc), (std::vector<Glyph>{{65535, 0, -20, -3, 4}, {0, 1, 2147483647, -2147483647 - 1, 7}}));
}

TEST_F(ShapeItems, RightToLeftItemComesOutReversedWithAbsoluteClusters) {
  backend.items = {item_at(0), item_at(2, 5, true), item_at(5)};
  backend.plans[2].glyphs = std::vector<WORD>{10, 11, 12};
  backend.plans[2].advances = {1, 2, 3};
  Value doc = shape_ok(u"ab\u05d0\u05d1\u05d2");

  const std::vector<Glyph> right_to_left = {{12, 4, 3}, {11, 3, 2}, {10, 2, 1}};
  std::vector<Glyph> expected = {{'a', 0, 100}, {'b', 1, 101}};
  expected.insert(expected.end(), right_to_left.begin(), right_to_left.end());
  EXPECT_EQ(final_of(doc), expected);
  EXPECT_EQ(messages_of(doc),
            (std::vector<std::string>{item_line(0, 0, 2, 2), item_line(1, 2, 5, 3, "0x6e74616c", 5, true)}));
  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 2u);
  EXPECT_EQ(stages[1].m, "Uniscribe shape item 1 (script 5, tag 0x6e74616c)");
  EXPECT_EQ(stages[1].glyphs, right_to_left);
}

TEST_F(ShapeItems, ItemsKeepLogicalOrderInARightToLeftText) {
  // Arabic, digits, Arabic: only the glyphs inside each right-to-left item turn round.
  backend.items = {item_at(0, 2, true), item_at(2, 1), item_at(4, 2, true), item_at(6)};
  Value doc = shape_ok(u"\u0627\u0628" u"12" u"\u062a\u062b", {.rtl = 1});
  EXPECT_EQ(ids_of(final_of(doc)), (std::vector<std::uint64_t>{0x0628, 0x0627, '1', '2', 0x062b, 0x062a}));
  EXPECT_EQ(clusters_of(final_of(doc)), (std::vector<std::uint64_t>{1, 0, 2, 3, 5, 4}));
}

TEST_F(ShapeItems, ClustersOfALaterItemAreAbsolute) {
  backend.items = {item_at(0), item_at(3), item_at(5)};
  backend.plans[3].glyphs = std::vector<WORD>{1, 2, 3};
  backend.plans[3].clusters = std::vector<WORD>{0, 2};
  Value doc = shape_ok(u"abcde");
  std::vector<Glyph> final_glyphs = final_of(doc);
  ASSERT_EQ(final_glyphs.size(), 6u);
  EXPECT_EQ(clusters_of(final_glyphs), (std::vector<std::uint64_t>{0, 1, 2, 3, 3, 4}));
}

// The first character of a glyph: the smallest character pointing at it; a
// glyph that none points at joins the nearest pointed-at glyph before it, or
// takes the last character when there is none.
TEST_F(ShapeItems, ClusterOfEveryGlyph) {
  struct Case {
    const char *what;
    std::vector<WORD> clusters;  // one per character
    std::size_t glyphs;
    std::vector<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"one to one", {0, 1, 2}, 3, {0, 1, 2}},
      {"second glyph of a cluster", {0, 2}, 3, {0, 0, 1}},
      {"ligature", {0, 0}, 1, {0}},
      {"decomposition", {0}, 3, {0, 0, 0}},
      {"glyph before any pointed-at glyph", {1, 1}, 2, {1, 0}},
      {"several unpointed glyphs carry the cluster", {0, 0, 3}, 5, {0, 0, 0, 2, 2}},
      {"descending log clusters", {2, 1, 0}, 3, {2, 1, 0}},
      {"smallest character wins", {1, 0, 1}, 2, {1, 0}},
      {"values of cGlyphs or more are ignored", {0, 7, 1}, 2, {0, 2}},
      {"nothing pointed at", {9, 9, 9}, 2, {2, 2}},
  };
  for (const Case &c : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    std::u16string text(c.clusters.size(), u'x');
    backend.plans[0].glyphs = std::vector<WORD>(c.glyphs, 42);
    backend.plans[0].clusters = c.clusters;
    Value doc = shape_ok(text);
    EXPECT_EQ(clusters_of(final_of(doc)), c.expected) << c.what;
  }
}

}  // namespace
