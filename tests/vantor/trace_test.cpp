// The shaping trace: its stages and their names, kinds and order, their
// glyphs, clusters and positions against hb-shape's own trace, the recording
// window, and that tracing never changes the shaping result.
#include <gtest/gtest.h>

#include <hb-ot.h>
#include <hb.h>

#include <algorithm>
#include <cstdio>
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
  // lookups it skipped for want of a matching glyph are absent. Positioning
  // follows substitution.
  const auto gpos = std::find(names.begin(), names.end(), "default positions");
  ASSERT_NE(gpos, names.end());
  EXPECT_EQ(std::vector<std::string>(names.begin(), gpos),
            (std::vector<std::string>{"cmap", "GSUB lookup 9 'ccmp'", "GSUB lookup 11 'fina'",
                                      "GSUB lookup 13 'medi'", "GSUB lookup 12 'init'",
                                      "GSUB lookup 14 'rlig'", "GSUB lookup 17 'liga'"}));
  EXPECT_EQ(names.back(), "final");
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
  USP_TRACE_STAGE_GLYPHS full{};
  EXPECT_NE(usp_trace_stage_glyphs(count, &full), 0);
  EXPECT_NE(usp_trace_stage_glyphs(0, nullptr), 0);
  usp_trace_stop();
  EXPECT_NE(read_stage(0).result, 0);
  EXPECT_NE(usp_trace_stage_glyphs(0, &full), 0);
}

// ---- against hb-shape --trace ------------------------------------------------------

struct FullStage {
  std::string name;
  int kind = -1;
  std::vector<OracleGlyph> glyphs;  // cl: the cluster; dx, dy, ax: the positions
};

std::vector<FullStage> read_full_stages() {
  std::vector<FullStage> stages;
  for (int i = 0; i < usp_trace_count(); ++i) {
    USP_TRACE_STAGE_GLYPHS full{};
    if (usp_trace_stage_glyphs(i, &full) != 0) break;
    FullStage stage{read_stage(i).name, full.kind, {}};
    for (int k = 0; k < full.glyph_count; ++k) {
      const USP_TRACE_GLYPH &g = full.glyphs[k];
      stage.glyphs.push_back(OracleGlyph{g.glyph, g.cluster, g.x_offset, g.y_offset, g.advance, 0});
    }
    stages.push_back(std::move(stage));
  }
  return stages;
}

// The stages hb-shape's trace shows, named as the backend names them: the
// buffer as GSUB starts, after each reordering phase and each lookup not
// skipped, as positioning starts, after each other positioning step, and the
// result (turned to logical order).
std::vector<FullStage> oracle_stages(const std::vector<OracleTraceLine> &lines, bool rtl) {
  static const std::pair<const char *, const char *> kPositioning[] = {
      {"table kern", "kern table"}, {"fallback mark", "fallback mark"}, {"fallback kern", "fallback kern"}};
  std::vector<FullStage> stages;
  std::string table;
  bool skipped = false, positioning = false;
  auto start_positioning = [&](const OracleTraceLine &line) {
    if (!positioning) stages.push_back({"default positions", USP_TRACE_KIND_POSITION, line.glyphs});
    positioning = true;
  };
  for (const OracleTraceLine &line : lines) {
    const std::string &m = line.message;
    unsigned index = 0;
    char tag[5] = {};
    if (m.empty()) {
      FullStage final_stage{"final", USP_TRACE_KIND_FINAL, line.glyphs};
      if (rtl) std::reverse(final_stage.glyphs.begin(), final_stage.glyphs.end());
      stages.push_back(std::move(final_stage));
    } else if (m == "start table GSUB") {
      table = "GSUB";
      stages.push_back({"cmap", USP_TRACE_KIND_CMAP, line.glyphs});
    } else if (m == "start table GPOS") {
      table = "GPOS";
      start_positioning(line);
    } else if (m.starts_with("end reordering ")) {
      stages.push_back({m.substr(4), USP_TRACE_KIND_REORDER, line.glyphs});
    } else if (m.starts_with("start lookup ") || m.starts_with("skipped lookup ")) {
      skipped = m.starts_with("skipped");
    } else if (std::sscanf(m.c_str(), "end lookup %u feature '%4c'", &index, tag) == 2 && !skipped) {
      const int kind = table == "GSUB" ? USP_TRACE_KIND_SUBSTITUTE : USP_TRACE_KIND_POSITION;
      stages.push_back({table + " lookup " + std::to_string(index) + " '" + tag + "'", kind, line.glyphs});
    }
    for (const auto &[step, name] : kPositioning) {
      if (m == std::string("start ") + step) start_positioning(line);
      if (m == std::string("end ") + step) stages.push_back({name, USP_TRACE_KIND_POSITION, line.glyphs});
    }
  }
  return stages;
}

bool positioned(int kind) { return kind == USP_TRACE_KIND_POSITION || kind == USP_TRACE_KIND_FINAL; }

struct Sample {
  const char *font;
  const char *text;
  bool rtl;
};

// Texts of the scripts whose shapers reorder, of joining and of marks
// positioned by GPOS or, in a font without GPOS, by HarfBuzz's fallback, and
// of kerning; each one item of code points below U+10000, so that hb-shape's
// clusters are UTF-16 offsets too.
const Sample kSamples[] = {
    {"NotoSansDevanagari-Regular.ttf", "क्षत्रिय हिन्दी र्कि", false},
    {"NotoSansBengali-Regular.ttf", "ক্ষত্রিয় র্কি কোলকাতা", false},
    {"NotoSansKhmer-Regular.ttf", "ព្រះរាជាណាចក្រកម្ពុជា ស្រី", false},
    {"NotoSansMyanmar-Regular.ttf", "မြန်မာစာ ကြိုး", false},
    {"NotoSansBalinese-Regular.ttf", "ᬓᬾᬦ᭄ᬢ ᬩᬮᬶ", false},
    {"NotoNaskhArabic-Regular.ttf", "بِسْمِ اللَّهِ الرَّحْمَٰنِ", true},
    {"NotoSansHebrew-Regular.ttf", "שָׁלוֹם בְּרֵאשִׁית", true},
    {"NotoSans-Regular.ttf", "AVATAR Wave To office", false},
    {"NotoSansLisu-Regular.ttf", "ꓡꓲ́ ꓡꓲ́", false},
};

TEST_F(Trace, EveryStageEqualsHbShapeTrace) {
  for (const Sample &sample : kSamples) {
    SCOPED_TRACE(sample.font);
    const std::u16string text = utf16(sample.text);
    const std::vector<FullStage> expected =
        oracle_stages(hb_shape_trace(font_path(sample.font), text), sample.rtl);
    if (expected.empty()) GTEST_SKIP() << "hb-shape (libharfbuzz-bin) could not be run";
    FontSession session(sample.font);
    usp_trace_begin();
    shape_text(session.cache(), text, sample.rtl);
    const std::vector<FullStage> stages = read_full_stages();
    ASSERT_EQ(stages.size(), expected.size());
    for (std::size_t i = 0; i < stages.size(); ++i) {
      SCOPED_TRACE(expected[i].name);
      EXPECT_EQ(stages[i].name, expected[i].name);
      EXPECT_EQ(stages[i].kind, expected[i].kind);
      ASSERT_EQ(stages[i].glyphs.size(), expected[i].glyphs.size());
      for (std::size_t k = 0; k < stages[i].glyphs.size(); ++k) {
        const OracleGlyph &got = stages[i].glyphs[k], &want = expected[i].glyphs[k];
        EXPECT_EQ(got.g, want.g) << "glyph " << k;
        EXPECT_EQ(got.cl, want.cl) << "glyph " << k;
        const bool positions = positioned(expected[i].kind);
        EXPECT_EQ(got.ax, positions ? want.ax : 0) << "glyph " << k;
        EXPECT_EQ(got.dx, positions ? want.dx : 0) << "glyph " << k;
        EXPECT_EQ(got.dy, positions ? want.dy : 0) << "glyph " << k;
      }
    }
    usp_trace_stop();
  }
}

TEST_F(Trace, ReorderingPhasesCarryTheChangesNotTheNextLookup) {
  FontSession session("NotoSansDevanagari-Regular.ttf");
  usp_trace_begin();
  shape_text(session.cache(), utf16("क्षत्रिय हिन्दी र्कि"));
  const std::vector<FullStage> stages = read_full_stages();
  const auto glyphs_of = [](const FullStage &stage) {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (const OracleGlyph &g : stage.glyphs) out.emplace_back(g.g, g.cl);
    return out;
  };
  // The i-matras move before their consonants in the initial phase, the
  // reph to the end of its syllable in the final one; the lookups after
  // them change nothing.
  for (const auto &[phase, lookup] : {std::pair{"reordering indic initial", "GSUB lookup 2 'nukt'"},
                                      std::pair{"reordering indic final", "GSUB lookup 21 'pres'"}}) {
    SCOPED_TRACE(phase);
    const auto at = std::find_if(stages.begin(), stages.end(),
                                 [&](const FullStage &s) { return s.name == phase; });
    ASSERT_TRUE(at != stages.begin() && at + 1 < stages.end());
    EXPECT_EQ(at->kind, USP_TRACE_KIND_REORDER);
    EXPECT_NE(glyphs_of(*at), glyphs_of(*(at - 1)));
    EXPECT_EQ((at + 1)->name, lookup);
    EXPECT_EQ(glyphs_of(*(at + 1)), glyphs_of(*at));
  }
}

}  // namespace
}  // namespace vantor_test
