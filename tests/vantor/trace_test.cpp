// The shaping trace: the reader of HarfBuzz's messages against recorded
// message sequences of every HarfBuzz version, the refusal of a trace it
// cannot read, the stages' glyphs, clusters and positions against hb-shape's
// own trace, the recording window, and that tracing never changes the
// shaping result.
#include <gtest/gtest.h>

#include <hb-ot.h>
#include <hb.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "font_store.h"
#include "harness.h"
#include "hb_handles.h"
#include "trace.h"
#include "trace_reader.h"

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
  // Substitution, then positioning; which lookups ran is HarfBuzz's to say
  // (EveryStageEqualsHbShapeTrace compares them).
  const auto gpos = std::find(names.begin(), names.end(), "default positions");
  ASSERT_NE(gpos, names.end());
  ASSERT_GT(gpos - names.begin(), 1);
  EXPECT_EQ(names.front(), "cmap");
  EXPECT_TRUE(std::all_of(names.begin() + 1, gpos, [](const std::string &name) {
    return name.starts_with("GSUB lookup ");
  }));
  EXPECT_EQ(names.back(), "final");
  EXPECT_EQ(stages.front().glyphs, nominal_glyphs(kNaskh, text));
  EXPECT_NE(stages[static_cast<std::size_t>(gpos - names.begin()) - 1].glyphs, stages.front().glyphs)
      << "joining changed the letters";
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

// hb-shape's trace read by the backend's own reader, each line's buffer
// rebuilt and handed to it with the line's message, and the result (turned to
// logical order). What the backend records from HarfBuzz's live buffers must
// equal it; which messages make which stages the reader tests below check.
std::vector<FullStage> oracle_stages(const std::vector<OracleTraceLine> &lines, hb_font_t *font, bool rtl) {
  const hb_direction_t direction = rtl ? HB_DIRECTION_RTL : HB_DIRECTION_LTR;
  vantor::TraceReader reader(direction, SIZE_MAX);
  const vantor::BufferPtr buffer(hb_buffer_create());
  std::vector<FullStage> stages;
  for (const OracleTraceLine &line : lines) {
    if (line.message.empty()) {
      FullStage final_stage{"final", USP_TRACE_KIND_FINAL, line.glyphs};
      if (rtl) std::reverse(final_stage.glyphs.begin(), final_stage.glyphs.end());
      stages.push_back(std::move(final_stage));
      continue;
    }
    hb_buffer_clear_contents(buffer.get());
    hb_buffer_set_direction(buffer.get(), direction);
    for (const OracleGlyph &g : line.glyphs) hb_buffer_add(buffer.get(), g.g, g.cl);
    if (!line.characters) hb_buffer_set_content_type(buffer.get(), HB_BUFFER_CONTENT_TYPE_GLYPHS);
    hb_glyph_position_t *positions = hb_buffer_get_glyph_positions(buffer.get(), nullptr);
    for (std::size_t k = 0; k < line.glyphs.size(); ++k) {
      positions[k] = {line.glyphs[k].ax, 0, line.glyphs[k].dx, line.glyphs[k].dy, {}};
    }
    reader.read(buffer.get(), font, line.message);
    EXPECT_EQ(reader.misread(), "");
  }
  std::vector<FullStage> out;
  std::vector<USP_TRACE_GLYPH> whole;
  const vantor::StageLog log = reader.take_log();
  for (const vantor::TraceStage &stage : log.stages()) {
    vantor::apply_change(stage, whole);
    FullStage full{stage.name, stage.kind, {}};
    for (const USP_TRACE_GLYPH &g : whole) {
      full.glyphs.push_back(OracleGlyph{g.glyph, g.cluster, g.x_offset, g.y_offset, g.advance, 0});
    }
    out.push_back(std::move(full));
  }
  out.insert(out.end(), stages.begin(), stages.end());
  return out;
}

bool positioned(int kind) { return kind == USP_TRACE_KIND_POSITION || kind == USP_TRACE_KIND_FINAL; }

bool same(const USP_TRACE_GLYPH &a, const USP_TRACE_GLYPH &b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The stages read back as changes and replayed: each must be the whole stage
// the old read-out gives (asked for last to first, so that each is rebuilt
// from the start of the item), and its span the shortest (its first and last
// glyphs both differ from what they replace, when there are both), but for a
// stage that positions after one that does not, or the other way round,
// which replaces every glyph.
void expect_changes_rebuild() {
  std::vector<std::vector<USP_TRACE_GLYPH>> replayed;
  bool positioned_before = false;
  for (int i = 0; i < usp_trace_count(); ++i) {
    USP_TRACE_STAGE_CHANGE change{};
    ASSERT_EQ(usp_trace_stage_change(i, &change), 0);
    SCOPED_TRACE(change.name);
    EXPECT_EQ(change.first, i == 0 ? 1 : 0);
    std::vector<USP_TRACE_GLYPH> glyphs = change.first ? std::vector<USP_TRACE_GLYPH>{} : replayed.back();
    ASSERT_TRUE(change.start <= change.stop && static_cast<std::size_t>(change.stop) <= glyphs.size());
    const USP_TRACE_GLYPH *given = change.glyphs;
    const int replaced = change.stop - change.start, count = change.changed_count;
    if (!change.first && positioned(change.kind) != positioned_before) {
      EXPECT_EQ(change.start, 0);
      EXPECT_EQ(static_cast<std::size_t>(change.stop), glyphs.size());
    } else if (replaced > 0 && count > 0) {
      EXPECT_FALSE(same(glyphs[change.start], given[0]));
      EXPECT_FALSE(same(glyphs[change.stop - 1], given[count - 1]));
    }
    glyphs.erase(glyphs.begin() + change.start, glyphs.begin() + change.stop);
    glyphs.insert(glyphs.begin() + change.start, given, given + count);
    EXPECT_EQ(static_cast<int>(glyphs.size()), change.glyph_count);
    replayed.push_back(std::move(glyphs));
    positioned_before = positioned(change.kind);
  }
  for (int i = usp_trace_count() - 1; i >= 0; --i) {
    USP_TRACE_STAGE_GLYPHS whole{};
    ASSERT_EQ(usp_trace_stage_glyphs(i, &whole), 0);
    const std::vector<USP_TRACE_GLYPH> &glyphs = replayed[static_cast<std::size_t>(i)];
    ASSERT_EQ(static_cast<std::size_t>(whole.glyph_count), glyphs.size()) << "stage " << i;
    EXPECT_TRUE(std::equal(glyphs.begin(), glyphs.end(), whole.glyphs, same)) << "stage " << i;
  }
  USP_TRACE_STAGE_CHANGE change{};
  EXPECT_NE(usp_trace_stage_change(usp_trace_count(), &change), 0);
  EXPECT_NE(usp_trace_stage_change(0, nullptr), 0);
}

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
    const std::vector<OracleTraceLine> lines = hb_shape_trace(font_path(sample.font), text);
    if (lines.empty()) GTEST_SKIP() << "hb-shape (libharfbuzz-bin) could not be run";
    const vantor::BlobPtr blob(hb_blob_create_from_file(font_path(sample.font).c_str()));
    const vantor::FacePtr face(hb_face_create(blob.get(), 0));
    const vantor::FontPtr font(hb_font_create(face.get()));
    const std::vector<FullStage> expected = oracle_stages(lines, font.get(), sample.rtl);
    FontSession session(sample.font);
    usp_trace_begin();
    shape_text(session.cache(), text, sample.rtl);
    expect_changes_rebuild();
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
  // reph to the end of its syllable in the final one: the phases' own stages
  // show it, a GSUB lookup follows each.
  for (const char *phase : {"reordering indic initial", "reordering indic final"}) {
    SCOPED_TRACE(phase);
    const auto at = std::find_if(stages.begin(), stages.end(),
                                 [&](const FullStage &s) { return s.name == phase; });
    ASSERT_TRUE(at != stages.begin() && at + 1 < stages.end());
    EXPECT_EQ(at->kind, USP_TRACE_KIND_REORDER);
    EXPECT_NE(glyphs_of(*at), glyphs_of(*(at - 1)));
    EXPECT_TRUE((at + 1)->name.starts_with("GSUB lookup ")) << (at + 1)->name;
  }
}

// ---- the reader against recorded message sequences ----------------------------------

constexpr int C = USP_TRACE_KIND_CMAP, R = USP_TRACE_KIND_REORDER, S = USP_TRACE_KIND_SUBSTITUTE,
              P = USP_TRACE_KIND_POSITION, N = USP_TRACE_KIND_NORMALIZE;

// A message and, when given, what the buffer holds from it on (glyphs, or
// characters before substitution; clusters 0, 1, ...).
struct Line {
  const char *message;
  std::vector<unsigned> buffer = {};
};

struct Sequence {
  const char *what;
  std::vector<Line> lines;
  std::vector<std::pair<std::string, int>> stages;  // name and kind
  const char *misread = "";                          // the start of the reader's complaint
};

// One row per message form, marked with the HarfBuzz versions that send it.
const Sequence kSequences[] = {
    {"6.0.0: GSUB, a lookup skipped and one that ran, with its glyph messages",
     {{"start table GSUB", {1, 2, 3}},
      {"start lookup 0 feature 'ccmp'"},
      {"skipped lookup 0 feature 'ccmp' because no glyph matches"},
      {"end lookup 0 feature 'ccmp'"},
      {"start lookup 3 feature 'liga'"},
      {"ligating glyphs at 0,1"},
      {"ligated glyph at 0", {7, 3}},
      {"end lookup 3 feature 'liga'"},
      {"end table GSUB"}},
     {{"cmap", C}, {"GSUB lookup 3 'liga'", S}}},
    {"8.0.0 on: the script tag",
     {{"start table GSUB script tag 'dev2'", {1}},
      {"start lookup 1 feature 'nukt'"},
      {"end lookup 1 feature 'nukt'", {4}},
      {"end table GSUB script tag 'dev2'"}},
     {{"cmap", C}, {"GSUB lookup 1 'nukt'", S}}},
    {"8.0.0 to 13.1.x: a tag cut short by a NUL; a lookup's tag likewise",
     {{"start table GSUB script tag '", {1}},
      {"start lookup 4 feature '"},
      {"end lookup 4 feature '", {2}},
      {"end table GSUB script tag '"}},
     {{"cmap", C}, {"GSUB lookup 4", S}}},
    {"13.2.0 on: no script tag", {{"start table GSUB script tag ''", {1}}, {"end table GSUB script tag ''"}},
     {{"cmap", C}}},
    {"GPOS, with its glyph messages, 6.0.0 and 8.0.0 forms",
     {{"start table GPOS", {1, 2}},
      {"start lookup 2 feature 'kern'"},
      {"try kerning glyphs at 0,1"},
      {"kerned glyphs at 0,1"},
      {"tried kerning glyphs at 1,2"},
      {"positioning glyph at 0"},
      {"positioned glyph at 0"},
      {"end lookup 2 feature 'kern'"},
      {"end table GPOS"},
      {"start table GPOS script tag 'latn'"},
      {"start lookup 5 feature 'mark'"},
      {"attaching mark glyph at 1 to glyph at 0"},
      {"attached mark glyph at 1 to glyph at 0"},
      {"cursive attaching glyph at 1 to glyph at 0"},
      {"cursive attached glyph at 1 to glyph at 0"},
      {"end lookup 5 feature 'mark'"},
      {"end table GPOS script tag 'latn'"}},
     {{"default positions", P}, {"GPOS lookup 2 'kern'", P}, {"GPOS lookup 5 'mark'", P}}},
    {"reordering phases",
     {{"start table GSUB", {1, 2, 3}},
      {"start reordering indic initial"},
      {"end reordering indic initial", {3, 1, 2}},
      {"start reordering indic final"},
      {"end reordering indic final"},
      {"end table GSUB"}},
     {{"cmap", C}, {"reordering indic initial", R}, {"reordering indic final", R}}},
    {"8.0.0 on: dotted circles inserted inside a phase",
     {{"start table GSUB", {1, 2}},
      {"start reordering khmer"},
      {"start inserting dotted-circles"},
      {"end inserting dotted-circles", {1, 9, 2}},
      {"end reordering khmer"},
      {"end table GSUB"}},
     {{"cmap", C}, {"inserting dotted-circles", R}, {"reordering khmer", R}}},
    {"8.0.0 on: dotted circles skipped, or started without a glyph to insert",
     {{"start table GSUB", {1}},
      {"start reordering USE"},
      {"skipped inserting dotted-circles because there is no broken syllables"},
      {"end reordering USE"},
      {"start reordering myanmar"},
      {"start inserting dotted-circles"},
      {"end reordering myanmar"},
      {"end table GSUB"}},
     {{"cmap", C}, {"reordering USE", R}, {"reordering myanmar", R}}},
    {"13.2.0 on: decompose and compose; every version: mark reordering, preprocessing",
     {{"start preprocess-text", {0xE33}},
      {"end preprocess-text", {0xE4D, 0xE32}},
      {"start decompose", {0xE9, 0x5D1, 0x5B8, 0x5BC}},
      {"end decompose", {0x65, 0x301, 0x5D1, 0x5B8, 0x5BC}},
      {"start reorder"},
      {"end reorder", {0x65, 0x301, 0x5D1, 0x5BC, 0x5B8}},
      {"start compose"},
      {"end compose", {0xE9, 0x5D1, 0x5BC, 0x5B8}},
      {"start table GSUB", {1, 2, 3, 4}},
      {"end table GSUB"}},
     {{"preprocess-text", N}, {"decompose", N}, {"reorder marks", N}, {"compose", N}, {"cmap", C}}},
    {"normalization that changes nothing",
     {{"start decompose", {0x61}}, {"end decompose"}, {"start compose"}, {"end compose"}, {"start table GSUB", {1}},
      {"end table GSUB"}},
     {{"cmap", C}}},
    {"postprocessing after GSUB",
     {{"start table GSUB", {1}}, {"end table GSUB"}, {"start postprocess-glyphs"}, {"end postprocess-glyphs", {1, 1}}},
     {{"cmap", C}, {"postprocess-glyphs", S}}},
    {"the kern table, without GPOS",
     {{"start table kern", {1, 2}}, {"start kern"}, {"end kern"}, {"end table kern"}},
     {{"default positions", P}, {"kern table", P}}},
    {"fallback positioning",
     {{"start fallback mark", {1, 2}}, {"end fallback mark"}, {"start fallback kern"}, {"start kern"},
      {"end kern"}, {"end fallback kern"}},
     {{"default positions", P}, {"fallback mark", P}, {"fallback kern", P}}},
    {"AAT morx: every subtable that runs starts and ends",
     {{"start table morx", {1, 2}},
      {"start chainsubtable 0"},
      {"end chainsubtable 0", {3}},
      {"start chainsubtable 1"},
      {"end chainsubtable 1"},
      {"end table morx"}},
     {{"cmap", C}, {"morx chainsubtable 0", S}, {"morx chainsubtable 1", S}}},
    {"10.3.0 on: morx subtables skipped (10.3 and 10.4 without their number); mort",
     {{"start table mort", {1}},
      {"skipped chainsubtable because no glyph matches"},
      {"skipped chainsubtable 0 because no glyph matches"},
      {"start chainsubtable 1"},
      {"end chainsubtable 1"},
      {"end table mort"}},
     {{"cmap", C}, {"mort chainsubtable 1", S}}},
    {"11.0.0 on: kerx subtables skipped",
     {{"start table kerx", {1, 2}},
      {"skipped subtable 0 because no glyph matches"},
      {"start subtable 1"},
      {"end subtable 1"},
      {"end table kerx"}},
     {{"default positions", P}, {"kerx subtable 1", P}}},
    {"recursion, up to 13.x and from 14.0.0 on, and substitution messages up to 11.x",
     {{"start table GSUB", {1, 2, 3}},
      {"start lookup 7 feature 'calt'"},
      {"recursing to lookup 5 at 1"},
      {"replacing glyph at 1 (single substitution)"},
      {"replaced glyph at 1 (single substitution)"},
      {"recursed to lookup 5"},
      {"start recursing to lookup 6 at 2"},
      {"multiplying glyph at 2"},
      {"multiplied glyphs at 2,3"},
      {"deleting glyph at 0 (multiple substitution)"},
      {"deleted glyph at 0 (multiple substitution)"},
      {"end recursing to lookup 6"},
      {"recursing to lookup 5 at 3"},
      {"end lookup 7 feature 'calt'", {1, 4, 3, 3}},
      {"start lookup 8 feature 'calt'"},
      {"end lookup 8 feature 'calt'"},
      {"end table GSUB"}},
     {{"cmap", C}, {"GSUB lookup 7 'calt' -> 5 6", S}, {"GSUB lookup 8 'calt'", S}}},
    {"a message of a lookup's own is harmless",
     {{"start table GSUB", {1}},
      {"start lookup 1 feature 'liga'"},
      {"juggling glyph at 0"},
      {"end lookup 1 feature 'liga'"},
      {"end table GSUB"}},
     {{"cmap", C}, {"GSUB lookup 1 'liga'", S}}},
    {"a step this reader does not know",
     {{"start table GSUB", {1}}, {"start frobnicating"}, {"end frobnicating", {2}}, {"end table GSUB"}},
     {{"cmap", C}},
     "a message this reader does not know ('start frobnicating')"},
    {"a collapsed trace: tables and lookups in other words",
     {{"begin table GSUB", {1}}, {"begin lookup 1 feature 'liga'"}, {"finish lookup 1 feature 'liga'", {2}}},
     {},
     "a message this reader does not know ('begin table GSUB')"},
    {"a lookup outside a table", {{"start lookup 1 feature 'liga'", {1}}}, {}, "a lookup outside GSUB and GPOS"},
    {"a lookup ending that had not started",
     {{"start table GSUB", {1}}, {"end lookup 2 feature 'liga'"}},
     {{"cmap", C}},
     "a lookup ending that had not started"},
};

TEST(TraceReader, EveryMessageFormMakesItsStages) {
  for (const Sequence &sequence : kSequences) {
    SCOPED_TRACE(sequence.what);
    vantor::TraceReader reader(HB_DIRECTION_LTR, SIZE_MAX);
    const vantor::BufferPtr buffer(hb_buffer_create());
    hb_buffer_set_direction(buffer.get(), HB_DIRECTION_LTR);
    for (const Line &line : sequence.lines) {
      if (!line.buffer.empty()) {
        hb_buffer_clear_contents(buffer.get());
        for (std::size_t k = 0; k < line.buffer.size(); ++k) {
          hb_buffer_add(buffer.get(), line.buffer[k], static_cast<unsigned>(k));
        }
        hb_buffer_set_content_type(buffer.get(), HB_BUFFER_CONTENT_TYPE_GLYPHS);
      }
      reader.read(buffer.get(), hb_font_get_empty(), line.message);
    }
    EXPECT_TRUE(reader.misread().starts_with(sequence.misread)) << reader.misread();
    std::vector<std::pair<std::string, int>> stages;
    const vantor::StageLog log = reader.take_log();
    for (const vantor::TraceStage &stage : log.stages()) {
      std::string name = stage.name;  // with the lookups it called
      if (!stage.nested.empty()) name += " ->";
      for (const std::uint16_t lookup : stage.nested) name += " " + std::to_string(lookup);
      stages.emplace_back(name, stage.kind);
    }
    EXPECT_EQ(stages, sequence.stages);
  }
}

// A trace the backend cannot vouch for is refused with a reason naming the
// HarfBuzz in use, rather than handed out with its steps missing.
TEST(TraceReader, TracesThatCannotBeReadAreRefusedNamingTheHarfBuzzVersion) {
  const std::vector<std::uint8_t> bytes = read_file(font_path("NotoSans-Regular.ttf"));
  int code = 0;
  const auto font = vantor::FontFace::build(bytes, vantor::hash_bytes(bytes), &code);
  ASSERT_TRUE(font);
  hb_codepoint_t a = 0, b = 0, space = 0;
  hb_font_get_nominal_glyph(font->font(), 'a', &a);
  hb_font_get_nominal_glyph(font->font(), 'b', &b);
  hb_font_get_nominal_glyph(font->font(), ' ', &space);
  const auto run = [](std::vector<hb_codepoint_t> glyphs, std::vector<std::uint32_t> clusters) {
    return vantor::ShapedRun{glyphs, clusters, std::vector<hb_glyph_position_t>(glyphs.size())};
  };
  const auto stage = [](std::vector<hb_codepoint_t> glyphs, std::vector<std::uint32_t> clusters) {
    std::vector<USP_TRACE_GLYPH> whole;
    for (std::size_t k = 0; k < glyphs.size(); ++k) whole.push_back({glyphs[k], clusters[k], 0, 0, 0});
    vantor::StageLog out;
    out.take("GSUB lookup 1 'liga'", USP_TRACE_KIND_SUBSTITUTE, whole);
    return out;
  };
  vantor::TraceReader understood(HB_DIRECTION_LTR, SIZE_MAX);
  vantor::TraceReader collapsed(HB_DIRECTION_LTR, SIZE_MAX);
  const vantor::BufferPtr buffer(hb_buffer_create());
  collapsed.read(buffer.get(), nullptr, "begin table GSUB");
  understood.read(buffer.get(), nullptr, "start table GSUB");
  understood.read(buffer.get(), nullptr, "start lookup 1 feature 'liga'");
  understood.read(buffer.get(), nullptr, "end lookup 1 feature 'liga'");
  understood.take_log();
  vantor::TraceReader silent(HB_DIRECTION_LTR, SIZE_MAX);  // no lookup announced
  vantor::TraceReader no_gpos_lookup(HB_DIRECTION_LTR, SIZE_MAX);
  for (const char *message : {"start table GSUB", "start lookup 1 feature 'liga'", "end lookup 1 feature 'liga'",
                              "end table GSUB", "start table GPOS", "end table GPOS"}) {
    no_gpos_lookup.read(buffer.get(), nullptr, message);
  }
  no_gpos_lookup.take_log();

  const std::u16string text = u"a\u200Db";
  const struct {
    const char *what;
    const vantor::TraceReader &reader;
    vantor::PlannedLookups planned;
    vantor::StageLog last;
    vantor::ShapedRun result;
    const char *why;  // empty: readable
  } kCases[] = {
      {"same glyphs", understood, {3, 3}, stage({a, 7, b}, {0, 1, 2}), run({a, 7, b}, {0, 1, 2}), ""},
      {"the joiner hidden after the last step", understood, {3, 3}, stage({a, 7, b}, {0, 1, 2}),
       run({a, space, b}, {0, 1, 2}), ""},
      {"the joiner removed", understood, {3, 3}, stage({a, 7, b}, {0, 1, 2}), run({a, b}, {0, 2}), ""},
      {"a cluster's glyphs the other way round", understood, {3, 3}, stage({a, 7, b}, {0, 0, 2}),
       run({7, a, b}, {0, 0, 2}), ""},
      {"a glyph removed that was no joiner", understood, {3, 3}, stage({a, 7, b, 9}, {0, 1, 2, 3}),
       run({a, b}, {0, 2}), "the last step recorded"},
      {"a message not understood", collapsed, {3, 3}, stage({a}, {0}), run({a}, {0}), "a message this reader"},
      {"no GSUB lookup announced though the plan has some", silent, {3, 0}, stage({a}, {0}), run({a}, {0}),
       "the font has 3 GSUB lookups for this text and HarfBuzz announced none"},
      {"GPOS announced without its lookups", no_gpos_lookup, {3, 2}, stage({a}, {0}), run({a}, {0}),
       "the font has 2 GPOS lookups for this text and HarfBuzz announced none"},
      {"GPOS lookups planned that HarfBuzz does not apply (Hebrew without 'hebr')", understood, {3, 2},
       stage({a}, {0}), run({a}, {0}), ""},
      {"other glyphs than the result", understood, {3, 3}, stage({a, 7, b}, {0, 1, 2}), run({a, 8, b}, {0, 1, 2}),
       "the last step recorded, \"GSUB lookup 1 'liga'\", does not end with the shaped glyphs"},
      {"other clusters than the result", understood, {3, 3}, stage({a, 7, b}, {0, 1, 2}), run({a, 7, b}, {0, 0, 2}),
       "the last step recorded"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    const auto why = vantor::unreadable_trace(c.reader, c.last, c.planned, c.result, *font, text);
    if (*c.why == '\0') {
      EXPECT_EQ(why, std::nullopt);
      continue;
    }
    ASSERT_TRUE(why.has_value());
    EXPECT_TRUE(why->starts_with(std::string("cannot trace this text: the trace of HarfBuzz ") +
                                 hb_version_string() + " cannot be read (" + c.why))
        << *why;
  }
}

}  // namespace
}  // namespace vantor_test
