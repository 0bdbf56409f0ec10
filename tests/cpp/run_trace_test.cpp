// The shaping run's per-lookup trace read-back: stage names, stages that are
// not delivered, the exports it needs, stage clusters, full stages and stages
// given as changes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "run_fixture.h"

namespace {

using namespace run_fixture;

TEST_F(ShapeItems, StageNamesAreCutAtNulOrTakenWholeAndDecodedLossily) {
  usp = fake_table(kAllTrace);
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"cmap", "cmap"},
      {"abcde\0xyz"s, "abcde"},
      {std::string(64, 'n'), std::string(64, 'n')},
      {std::string(63, 'n'), std::string(63, 'n')},
      {"ab\xff" "cd", "ab\xef\xbf\xbd" "cd"},
      {"\xe2\x82", "\xef\xbf\xbd"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
      {"", ""},
  };
  for (const auto &[raw, name] : cases) backend.plans[0].stages.push_back(Stage{raw, {0x61}});
  Value doc = shape_ok(u"a", {.trace = true});
  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), std::size(cases));
  for (std::size_t i = 0; i < stages.size(); ++i)
    EXPECT_EQ(stages[i].m, "vantor lookup " + cases[i].second + " (item 0)") << i;
  EXPECT_EQ(backend.stage_request_faults, 0);
}

TEST_F(ShapeItems, UndeliveredStagesAreSkipped) {
  usp = fake_table(kAllTrace);
  Stage failed{"rc", {1}, 1};
  Stage none{"zero", {1}, 0, 0};
  Stage negative{"negative", {1}, 0, -2};
  Stage null{"null", {1}, 0, {}, true};
  backend.plans[0].stages = {{"first", {0x61}}, failed, none, negative, null, {"last", {0x62}}};
  Value doc = shape_ok(u"a", {.trace = true});
  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 2u);
  EXPECT_EQ(stages[0].m, "vantor lookup first (item 0)");
  EXPECT_EQ(stages[1].m, "vantor lookup last (item 0)");
  EXPECT_EQ(messages_of(doc)[1], "vantor per-lookup trace: 2 stages (cmap + GSUB lookups + final)");
  EXPECT_EQ(std::count(backend.log.begin(), backend.log.end(), "stage"), 6);
}

TEST_F(ShapeItems, StopFollowsACountOfZeroOrLess) {
  usp = fake_table(kAllTrace);
  for (int count : {0, -3}) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.plans[0].stages = {{"unseen", {1}}};
    backend.trace_count = count;
    Value doc = shape_ok(u"a", {.trace = true});
    EXPECT_EQ(backend.log,
              (std::vector<std::string>{"itemize", "tags", "begin", "shape", "count", "stop", "place"}))
        << count;
    EXPECT_EQ(messages_of(doc), std::vector<std::string>{item_line(0, 0, 1, 1)});
    EXPECT_EQ(stages_of(doc)[0].m, "Uniscribe shape item 0 (script 0, tag 0x6e74616c)");
  }
}

TEST_F(ShapeItems, NoReadBackUnlessCountStageAndStopAreAllExported) {
  struct Case {
    Exports exports;
    bool trace;
    std::vector<std::string> log;
  };
  const std::vector<std::string> plain = {"itemize", "tags", "shape", "place"};
  const std::vector<std::string> begun = {"itemize", "tags", "begin", "shape", "place"};
  const Case cases[] = {
      {{true, false, true, true}, true, begun},
      {{true, true, false, true}, true, begun},
      {{true, true, true, false}, true, begun},
      {{true, false, false, false}, true, begun},
      {{false, true, true, true}, true, {"itemize", "tags", "shape", "count", "stage", "stop", "place"}},
      {{false, false, false, false}, true, plain},
      {kAllTrace, false, plain},
  };
  for (const Case &c : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    usp = fake_table(c.exports);
    backend.plans[0].stages = {{"s", {1}}};
    Value doc = shape_ok(u"a", {.trace = c.trace});
    EXPECT_EQ(backend.log, c.log);
    if (c.log == plain || c.log == begun) {
      EXPECT_EQ(messages_of(doc).size(), 1u);
      EXPECT_EQ(stages_of(doc)[0].m, "Uniscribe shape item 0 (script 0, tag 0x6e74616c)");
    }
  }
}

TEST_F(ShapeItems, StageClustersFollowTheFinalResultOrSpreadEvenly) {
  usp = fake_table(kAllTrace);
  // Item 0: "ab" shaped to two glyphs; item 1: eight spaces, untraced; item 2: five units from 10.
  backend.items = {item_at(0), item_at(2), item_at(10), item_at(15)};
  backend.plans[0].stages = {{"three", {1, 2, 3}}, {"same count", {7, 8}}};
  backend.plans[10].glyphs = std::vector<WORD>{40, 41, 42};
  backend.plans[10].clusters = std::vector<WORD>{0, 0, 1, 2, 2};
  backend.plans[10].advances = {9, 9, 9};
  backend.plans[10].stages = {{"two", {1, 2}}, {"seven", {1, 2, 3, 4, 5, 6, 7}}, {"final", {50, 51, 52}}};
  std::u16string text = u"ab" + std::u16string(8, u' ') + u"vwxyz";
  Value doc = shape_ok(text, {.trace = true});

  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 6u);
  EXPECT_EQ(stages[0].glyphs, (std::vector<Glyph>{{1, 0}, {2, 0}, {3, 1}}));
  EXPECT_EQ(stages[1].glyphs, (std::vector<Glyph>{{7, 0}, {8, 1}}));
  EXPECT_EQ(stages[2].m, "Uniscribe shape item 1 (script 0, tag 0x6e74616c)");
  EXPECT_EQ(clusters_of(stages[3].glyphs), (std::vector<std::uint64_t>{10, 12}));
  EXPECT_EQ(clusters_of(stages[4].glyphs), (std::vector<std::uint64_t>{10, 10, 11, 12, 12, 13, 14}));
  // Same count as the result: its clusters position by position, positions all 0.
  EXPECT_EQ(stages[5].glyphs, (std::vector<Glyph>{{50, 10}, {51, 12}, {52, 13}}));
  EXPECT_EQ(stages[5].m, "vantor lookup final (item 2)");
  std::vector<Glyph> final_glyphs = final_of(doc);
  ASSERT_EQ(final_glyphs.size(), 13u);
  EXPECT_EQ(final_glyphs[12], (Glyph{42, 13, 9}));
}

TEST_F(ShapeItems, RightToLeftStagesAreReversedAfterTheirClustersAreFound) {
  usp = fake_table(kAllTrace);
  backend.items = {item_at(0), item_at(2, 2, true), item_at(5)};
  backend.plans[2].glyphs = std::vector<WORD>{10, 11, 12};
  backend.plans[2].clusters = std::vector<WORD>{0, 1, 1};
  backend.plans[2].stages = {{"cmap", {20, 21, 22}}, {"liga", {30, 31}}};
  Value doc = shape_ok(u"ab\u0627\u0644\u0644", {.trace = true});

  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 3u);
  EXPECT_EQ(stages[0].m, "Uniscribe shape item 0 (script 0, tag 0x6e74616c)");
  // Logical clusters of the result are 0, 1, 1 (glyph 2 joins glyph 1); reversed, plus 2.
  EXPECT_EQ(stages[1].glyphs, (std::vector<Glyph>{{22, 3}, {21, 3}, {20, 2}}));
  // Two glyphs over three units: 0 and 1, reversed, plus 2.
  EXPECT_EQ(stages[2].glyphs, (std::vector<Glyph>{{31, 3}, {30, 2}}));
  EXPECT_EQ(ids_of(final_of(doc)), (std::vector<std::uint64_t>{'a', 'b', 12, 11, 10}));
}

TEST_F(ShapeItems, TraceLineFollowsItsItemLineAndReadBackComesBeforePlacing) {
  usp = fake_table(kAllTrace);
  backend.items = {item_at(0), item_at(1), item_at(2)};
  backend.plans[0].stages = {{"cmap", {1}}, {"lookup 0", {2}}, {"final", {3}}};
  Value doc = shape_ok(u"ab", {.trace = true});

  EXPECT_EQ(messages_of(doc),
            (std::vector<std::string>{item_line(0, 0, 1, 1),
                                      "vantor per-lookup trace: 3 stages (cmap + GSUB lookups + final)",
                                      item_line(1, 1, 2, 1)}));
  std::vector<std::string> labels;
  for (const StageEntry &e : stages_of(doc)) labels.push_back(e.m);
  EXPECT_EQ(labels, (std::vector<std::string>{"vantor lookup cmap (item 0)", "vantor lookup lookup 0 (item 0)",
                                              "vantor lookup final (item 0)",
                                              "Uniscribe shape item 1 (script 0, tag 0x6e74616c)"}));
  EXPECT_EQ(ids_of(final_of(doc)), (std::vector<std::uint64_t>{'a', 'b'}));
  EXPECT_EQ(backend.log,
            (std::vector<std::string>{"itemize", "tags", "begin", "shape", "count", "stage", "stage", "stage",
                                      "stop", "place", "tags", "begin", "shape", "count", "stop", "place"}));
}

TEST_F(ShapeItems, FullStagesKeepTheirClustersAndPositionsAndOnlySubstitutingStagesReachTheDocument) {
  usp = fake_table({true, true, true, true, true});
  // Item 1 ("xyz" from 2) is right-to-left; its port stages: cmap, a
  // reordering, a positioning step and the final glyphs, clusters relative to
  // the item; a stage without a full form stays in the document only.
  backend.items = {item_at(0), item_at(2, 2, true), item_at(5)};
  backend.plans[2].glyphs = std::vector<WORD>{10, 11, 12};
  auto stage = [](const char *name, int kind, std::vector<USP_TRACE_GLYPH> full) {
    Stage s(name, {});
    for (const USP_TRACE_GLYPH &g : full) s.glyphs.push_back(static_cast<WORD>(g.glyph));
    s.kind = kind;
    s.full = std::move(full);
    return s;
  };
  backend.plans[2].stages = {
      stage("cmap", USP_TRACE_KIND_CMAP, {{20, 0, 0, 0, 0}, {21, 1, 0, 0, 0}, {22, 2, 0, 0, 0}}),
      stage("reordering x", USP_TRACE_KIND_REORDER, {{22, 2, 0, 0, 0}, {20, 0, 0, 0, 0}, {21, 0, 0, 0, 0}}),
      Stage("named only", {23, 24, 25}),
      stage("GPOS lookup 1 'mark'", USP_TRACE_KIND_POSITION,
            {{22, 2, 0, 0, 0}, {20, 0, 500, -20, 30}, {21, 0, 0, 5, 6}}),
      stage("final", USP_TRACE_KIND_FINAL, {{10, 0, 500, 1, 2}, {11, 0, 0, 3, 4}, {12, 2, 7, 0, 0}}),
      stage("future", 9, {{30, 1, 8, 8, 8}})};
  Value doc = shape_ok(u"ab\u05d0\u05d1\u05d2", {.trace = true});

  std::vector<std::string> labels;
  for (const StageEntry &e : stages_of(doc)) labels.push_back(e.m);
  EXPECT_EQ(labels, (std::vector<std::string>{
                        "Uniscribe shape item 0 (script 0, tag 0x6e74616c)", "vantor lookup cmap (item 1)",
                        "vantor lookup reordering x (item 1)", "vantor lookup named only (item 1)",
                        "vantor lookup final (item 1)", "vantor lookup future (item 1)"}));
  EXPECT_EQ(messages_of(doc)[2], "vantor per-lookup trace: 5 stages (cmap + GSUB lookups + final)");

  ASSERT_EQ(traces.size(), 1u);
  const tesvo::ItemTrace &item = traces[0];
  EXPECT_EQ(item.item, 1u);
  EXPECT_EQ(item.start, 2u);
  EXPECT_EQ(item.end, 5u);
  EXPECT_TRUE(item.rtl);
  using tesvo::StageKind;
  using G = tesvo::TraceGlyph;
  using Named = std::pair<StageKind, std::string>;
  std::vector<Named> kinds;
  for (const tesvo::TraceStage &s : item.stages) kinds.emplace_back(s.kind, s.name);
  EXPECT_EQ(kinds, (std::vector<Named>{{StageKind::cmap, "cmap"},
                                       {StageKind::reorder, "reordering x"},
                                       {StageKind::position, "GPOS lookup 1 'mark'"},
                                       {StageKind::final, "final"},
                                       {StageKind::other, "future"}}));
  // Logical order and the port's own clusters, made absolute; positions only
  // where the stage positions. Each stage is kept as its change to the one
  // before: the reordering moved every glyph, and the first positioning step
  // replaced every glyph, none of which had positions.
  tesvo::StageReplay replay;
  std::vector<std::vector<G>> wholes;
  for (const tesvo::TraceStage &s : item.stages) wholes.push_back(replay.apply(s));
  EXPECT_EQ(wholes[1], (std::vector<G>{{22, 4}, {20, 2}, {21, 2}}));
  EXPECT_EQ(wholes[2], (std::vector<G>{{22, 4}, {20, 2, 500, -20, 30}, {21, 2, 0, 5, 6}}));
  EXPECT_EQ(wholes[3], (std::vector<G>{{10, 2, 500, 1, 2}, {11, 2, 0, 3, 4}, {12, 4, 7, 0, 0}}));
  EXPECT_EQ(wholes[4], (std::vector<G>{{30, 3}}));
  EXPECT_EQ(std::tuple(item.stages[1].start, item.stages[1].stop), std::tuple(0u, 3u));
  EXPECT_EQ(std::tuple(item.stages[2].start, item.stages[2].stop), std::tuple(0u, 3u));
}

// A port that gives each stage as its change: read as changes, checked
// against the stage before, the document's ids rebuilt from them; a stage
// without glyphs is left out as from the whole read-out.
TEST_F(ShapeItems, StageChangesAreCheckedAgainstTheStageBeforeAndRebuiltForTheDocument) {
  // name, first, glyph count, start, stop, changed ids (cluster 0); rc 1: not delivered
  struct Change {
    const char *name;
    int first, count, start, stop;
    std::vector<DWORD> ids;
    int rc = 0;
    int kind = USP_TRACE_KIND_SUBSTITUTE;
  };
  const auto stages = [](std::initializer_list<Change> changes) {
    std::vector<Stage> out;
    for (const Change &c : changes) {
      Stage s(c.name, {});
      for (DWORD id : c.ids) s.changed.push_back(USP_TRACE_GLYPH{id, 0, 0, 0, 0});
      if (c.rc == 0)
        s.change = USP_TRACE_STAGE_CHANGE{c.kind, c.count, c.first, c.start, c.stop,
                                          static_cast<int>(c.ids.size()), nullptr, nullptr};
      out.push_back(std::move(s));
    }
    return out;
  };
  const std::vector<Stage> valid = stages({{"cmap", 1, 3, 0, 0, {20, 21, 22}},
                                           {"liga", 0, 2, 1, 3, {30}},
                                           {"nothing", 0, 2, 1, 1, {}},
                                           {"emptied", 0, 0, 0, 2, {}},
                                           {"final", 0, 2, 0, 0, {40, 41}}});
  const struct {
    const char *what;
    std::vector<Stage> stages;
    bool panics;
  } kCases[] = {
      {"changes that follow", valid, false},
      {"a span past the stage before", stages({{"cmap", 1, 3, 0, 0, {20, 21, 22}}, {"liga", 0, 2, 1, 4, {30}}}), true},
      {"a count that does not follow", stages({{"cmap", 1, 3, 0, 0, {20, 21, 22}}, {"liga", 0, 3, 1, 3, {30}}}), true},
      {"a stage not delivered", stages({{"cmap", 1, 3, 0, 0, {20, 21, 22}}, {"liga", 0, 2, 1, 3, {30}, 1}}), true},
      {"glyphs kept into a stage that positions",
       stages({{"cmap", 1, 3, 0, 0, {20, 21, 22}}, {"kern", 0, 3, 1, 3, {23, 24}, 0, USP_TRACE_KIND_POSITION}}), true},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    backend = FakeBackend{};
    usp = fake_table({true, true, true, true, false, true});
    backend.plans[0].stages = c.stages;
    if (c.panics) {
      EXPECT_THROW((void)shape(u"abc", {.trace = true}), tesvo::EnginePanic);
      continue;
    }
    Value doc = shape_ok(u"abc", {.trace = true});
    std::vector<std::pair<std::string, std::vector<std::uint64_t>>> listed;
    for (const StageEntry &e : stages_of(doc)) listed.emplace_back(e.m, ids_of(e.glyphs));
    using Listed = decltype(listed);
    EXPECT_EQ(listed, (Listed{{"vantor lookup cmap (item 0)", {20, 21, 22}},
                              {"vantor lookup liga (item 0)", {20, 30}},
                              {"vantor lookup nothing (item 0)", {20, 30}},
                              {"vantor lookup final (item 0)", {40, 41}}}));
    ASSERT_EQ(traces.size(), 1u);
    const tesvo::TraceStage &last = traces[0].stages.back();
    EXPECT_EQ(std::tuple(last.start, last.stop, last.count), std::tuple(0u, 2u, 2u))
        << "after the stage left out, the next replaces all the glyphs kept before it";
  }
}

TEST_F(ShapeItems, StageListsAreEmptiedAtTheStartOfEveryItem) {
  usp = fake_table(kAllTrace);
  backend.trace_count = 0;
  Value doc = shape_ok(u"a", {.trace = true, .before = [](ShapeRun &run) {
                                run.tracing.lookup_stages.push_back({"leftover", {9}});
                                run.tracing.native_stages.push_back({"leftover", {9}});
                              }});
  EXPECT_EQ(stages_of(doc)[0].m, "Uniscribe shape item 0 (script 0, tag 0x6e74616c)");
  EXPECT_EQ(messages_of(doc).size(), 1u);
}

}  // namespace
