// The per-lookup trace: its stages and their names and order, the recording
// window, and that tracing never changes the shaping result.
#include <gtest/gtest.h>

#include <hb-ot.h>
#include <hb.h>

#include <string>
#include <vector>

#include "harness.h"

namespace vantor_test {
namespace {

using Words = std::vector<WORD>;

struct Stage {
  int result = -1;
  std::string name;
  std::vector<WORD> glyphs;
};

Stage read_stage(int index, int capacity = 64) {
  Stage stage;
  std::vector<char> name(64, '\x7F');
  int count = 0;
  const std::uint16_t *glyphs = nullptr;
  stage.result = usp_trace_stage(index, name.data(), capacity, &count, &glyphs);
  if (stage.result != 0) return stage;
  stage.name = name.data();
  stage.glyphs.assign(glyphs, glyphs + count);
  return stage;
}

std::vector<Stage> read_stages() {
  std::vector<Stage> stages;
  for (int i = 0; i < usp_trace_count(); ++i) stages.push_back(read_stage(i));
  return stages;
}

// The font's cmap, read with HarfBuzz directly.
Words nominal_glyphs(const char *font_file, std::u16string_view text) {
  hb_blob_t *blob = hb_blob_create_from_file(font_path(font_file).c_str());
  hb_face_t *face = hb_face_create(blob, 0);
  hb_font_t *font = hb_font_create(face);
  Words glyphs;
  for (char16_t c : text) {
    hb_codepoint_t glyph = 0;
    hb_font_get_nominal_glyph(font, c, &glyph);
    glyphs.push_back(static_cast<WORD>(glyph));
  }
  hb_font_destroy(font);
  hb_face_destroy(face);
  hb_blob_destroy(blob);
  return glyphs;
}

constexpr const char *kNaskh = "NotoNaskhArabic-Regular.ttf";

class Trace : public ::testing::Test {
 protected:
  void TearDown() override { usp_trace_stop(); }
};

TEST_F(Trace, ArabicGoesCmapJoiningLigaturesFinal) {
  FontSession session(kNaskh);
  const std::u16string text = utf16("مرحبا");
  usp_trace_begin();
  const Shaped shaped = shape_text(session.cache(), text, true);
  const std::vector<Stage> stages = read_stages();
  std::vector<std::string> names;
  for (const Stage &stage : stages) names.push_back(stage.name);
  // Only the GSUB lookups HarfBuzz applied: the ccmp, locl, rlig and liga
  // lookups it skipped for want of a matching glyph are absent, and so is
  // every GPOS lookup.
  EXPECT_EQ(names, (std::vector<std::string>{
                       "cmap", "GSUB lookup 9 'ccmp'", "GSUB lookup 11 'fina'",
                       "GSUB lookup 13 'medi'", "GSUB lookup 12 'init'", "GSUB lookup 14 'rlig'",
                       "GSUB lookup 17 'liga'", "final"}));
  ASSERT_EQ(stages.size(), 8U);
  EXPECT_EQ(stages.front().glyphs, nominal_glyphs(kNaskh, text));
  EXPECT_NE(stages[1].glyphs, stages[2].glyphs) << "fina changed the last letter";
  EXPECT_EQ(stages.back().glyphs, shaped.glyphs) << "final = the item's glyphs, logical order";
}

TEST_F(Trace, TracingLeavesTheShapingResultAlone) {
  FontSession session(kNaskh);
  const std::u16string text = utf16("بِسْمِ اللَّهِ الرَّحْمَٰنِ الرَّحِيمِ");
  const Shaped untraced = shape_text(session.cache(), text, true);
  SCRIPT_CACHE other = nullptr;
  usp_trace_begin();
  const Shaped traced = shape_text(&other, text, true);
  EXPECT_GT(usp_trace_count(), 2);
  ScriptFreeCache(&other);
  EXPECT_EQ(traced.glyphs, untraced.glyphs);
  EXPECT_EQ(traced.log_clust, untraced.log_clust);
  EXPECT_EQ(traced.advances, untraced.advances);
  for (std::size_t k = 0; k < traced.offsets.size(); ++k) {
    EXPECT_EQ(traced.offsets[k].du, untraced.offsets[k].du);
    EXPECT_EQ(traced.offsets[k].dv, untraced.offsets[k].dv);
  }
}

TEST_F(Trace, StagesAreInLogicalOrderWhenHarfBuzzTurnsTheBufferAround) {
  // Arabic shaped left to right: HarfBuzz reverses the buffer internally.
  FontSession session(kNaskh);
  const std::u16string text = utf16("مرحبا");
  Item item = itemize(text, true).at(0);
  item.analysis.fRTL = 0;
  usp_trace_begin();
  const Shaped shaped = shape_item(session.cache(), text, item);
  const std::vector<Stage> stages = read_stages();
  ASSERT_GE(stages.size(), 2U);
  EXPECT_EQ(stages.front().glyphs, nominal_glyphs(kNaskh, text));
  EXPECT_EQ(stages.back().glyphs, shaped.glyphs);
}

TEST_F(Trace, RecordsSuccessfulShapingBetweenBeginAndStop) {
  FontSession session("NotoSans-Regular.ttf");
  shape_text(session.cache(), u"office");
  EXPECT_EQ(usp_trace_count(), 0) << "not recording yet";
  usp_trace_begin();
  shape_text(session.cache(), u"office");
  const int one = usp_trace_count();
  EXPECT_GE(one, 3);
  int glyph_count = 0;
  const std::uint16_t *glyphs = nullptr;
  ASSERT_EQ(usp_trace_stage(0, nullptr, 0, &glyph_count, &glyphs), 0);
  const Words cmap(glyphs, glyphs + glyph_count);
  shape_text(session.cache(), u"office");
  EXPECT_EQ(usp_trace_count(), 2 * one) << "each shaping appends its stages";
  EXPECT_EQ(Words(glyphs, glyphs + glyph_count), cmap) << "earlier stages stay readable";

  usp_trace_begin();
  EXPECT_EQ(usp_trace_count(), 0) << "begin drops what was recorded";
  SCRIPT_ANALYSIS analysis = itemize(u"office", false).at(0).analysis;
  WORD log_clust[6], out[2];
  SCRIPT_CHARPROP char_props[6];
  SCRIPT_GLYPHPROP props[2];
  ASSERT_EQ(ScriptShapeOpenType(nullptr, session.cache(), &analysis, ot_tag("latn"), kTagDflt,
                                nullptr, nullptr, 0, u"office", 6, 2, log_clust, char_props, out,
                                props, &glyph_count),
            E_OUTOFMEMORY);
  EXPECT_EQ(usp_trace_count(), 0) << "a failed shaping records nothing";

  usp_trace_stop();
  shape_text(session.cache(), u"office");
  EXPECT_EQ(usp_trace_count(), 0) << "stopped";
}

TEST_F(Trace, StageReadOutTruncatesNamesAndRejectsBadIndexes) {
  FontSession session("NotoSans-Regular.ttf");
  usp_trace_begin();
  shape_text(session.cache(), u"office");
  const int count = usp_trace_count();
  EXPECT_EQ(read_stage(1, 5).name, "GSUB");
  EXPECT_EQ(read_stage(0, 1).name, "");
  EXPECT_EQ(read_stage(count - 1).name, "final");
  EXPECT_NE(read_stage(-1).result, 0);
  EXPECT_NE(read_stage(count).result, 0);
  usp_trace_stop();
  EXPECT_NE(read_stage(0).result, 0);
}

}  // namespace
}  // namespace vantor_test
