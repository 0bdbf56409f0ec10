// The shaping run's native trace checks and the probe report lines it prints.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "json/writer.h"
#include "run_fixture.h"

namespace {

using namespace run_fixture;

// ---- native trace -------------------------------------------------------------------------------

const char kUnsupported[] =
    "TextShaping native trace: this build of TextShaping.dll is not in the supported set (validated: Win11 24H2 / "
    "10.0.26100 x64 driver layout). Use backend='vantor' (cross-platform per-lookup) or 'usp10' (single-stage).";
const char kCrossCheck[] =
    "TextShaping native trace cross-check failed: no OT application was captured, or the captured final run "
    "differs from the engine's shaped output (this TextShaping.dll build is outside the validated set: Win11 24H2 "
    "/ 10.0.26100 x64). Use backend='vantor' or 'usp10'.";

TEST_F(ShapeItems, NativeTraceIsRefusedWhenNoCaptureIsReady) {
  StderrCapture err;
  EXPECT_EQ(shape_error(u"a", {.trace = true, .native_trace = true}), kUnsupported);
  EXPECT_EQ(err.take(), "");
  EXPECT_EQ(backend.places.size(), 0u);

  // A flag left over from before the item does not count.
  FakeBackend fresh;
  backend = std::move(fresh);
  EXPECT_EQ(shape_error(u"a", {.trace = true, .native_trace = true,
                               .before = [](ShapeRun &run) { run.tracing.native_ready = true; }}),
            kUnsupported);
}

TEST_F(ShapeItems, NativeTraceFailsItsCrossCheckWithoutAMatchingLastRun) {
  struct Case {
    const char *what;
    std::optional<std::vector<std::uint16_t>> last_run;
    std::uint64_t apps;
    std::string report;
  };
  const Case cases[] = {
      {"nothing captured", std::nullopt, 0,
       "[nativerun] apps=0\n[nativerun] last_run=None shaped_final=[97, 98] match=false\n"},
      {"different run", std::vector<std::uint16_t>{97, 99}, 2,
       "[nativerun] apps=2\n[nativerun] last_run=Some([97, 99]) shaped_final=[97, 98] match=false\n"},
      {"shorter run", std::vector<std::uint16_t>{97}, 1,
       "[nativerun] apps=1\n[nativerun] last_run=Some([97]) shaped_final=[97, 98] match=false\n"},
  };
  for (const Case &c : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.on_shaped = [&c](std::size_t) {
      current_run->tracing.native_ready = true;
      current_run->tracing.capture.apps = c.apps;
      current_run->tracing.capture.last_run = c.last_run;
    };
    StderrCapture err;
    EXPECT_EQ(shape_error(u"ab", {.trace = true, .native_trace = true}), kCrossCheck) << c.what;
    EXPECT_EQ(err.take(), c.report) << c.what;
  }
}

TEST_F(ShapeItems, NativeStagesReplaceThePortsStagesWhenTheCrossCheckHolds) {
  usp = fake_table(kAllTrace);
  backend.items = {item_at(0), item_at(2), item_at(3)};
  backend.plans[0].stages = {{"port stage", {1}}};
  backend.on_shaped = [](std::size_t start) {
    ShapeRun &run = *current_run;
    run.tracing.native_ready = true;
    run.tracing.capture.apps = 2;
    if (start == 0) {
      run.tracing.capture.last_run = std::vector<std::uint16_t>{'a', 'b'};
      run.tracing.native_stages = {{"gsub", {5, 6, 7}}, {"gpos", {'a', 'b'}}};
    } else {
      run.tracing.capture.last_run = std::vector<std::uint16_t>{'c'};
    }
  };
  StderrCapture err;
  Value doc = shape_ok(u"abc", {.trace = true, .native_trace = true});
  EXPECT_EQ(err.take(),
            "[nativerun] apps=2\n[nativerun] last_run=Some([97, 98]) shaped_final=[97, 98] match=true\n"
            "[nativerun] apps=2\n[nativerun] last_run=Some([99]) shaped_final=[99] match=true\n");

  EXPECT_EQ(messages_of(doc), (std::vector<std::string>{item_line(0, 0, 2, 2),
                                                        "textshaping native trace: 2 stages (per OT application)",
                                                        item_line(1, 2, 3, 1)}));
  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 3u);
  EXPECT_EQ(stages[0].m, "textshaping gsub (item 0)");
  EXPECT_EQ(stages[0].glyphs, (std::vector<Glyph>{{5, 0}, {6, 0}, {7, 1}}));
  EXPECT_EQ(stages[1].m, "textshaping gpos (item 0)");
  EXPECT_EQ(stages[1].glyphs, (std::vector<Glyph>{{'a', 0}, {'b', 1}}));
  EXPECT_EQ(stages[2].m, "Uniscribe shape item 1 (script 0, tag 0x6e74616c)");
}

TEST_F(ShapeItems, NativeReadinessIsClearedForEveryItem) {
  backend.items = {item_at(0), item_at(1), item_at(2)};
  backend.on_shaped = [](std::size_t start) {
    if (start != 0) return;
    current_run->tracing.native_ready = true;
    current_run->tracing.capture.last_run = std::vector<std::uint16_t>{'a'};
  };
  StderrCapture err;
  EXPECT_EQ(shape_error(u"ab", {.trace = true, .native_trace = true}), kUnsupported);
  EXPECT_EQ(backend.places.size(), 1u);
}

TEST_F(ShapeItems, NativeStagesAreIgnoredWithoutANativeTrace) {
  usp = fake_table(kAllTrace);
  backend.plans[0].stages = {{"port", {1, 2}}};
  backend.on_shaped = [](std::size_t) { current_run->tracing.native_stages = {{"native", {3}}}; };
  Value doc = shape_ok(u"a", {.trace = true});
  std::vector<StageEntry> stages = stages_of(doc);
  ASSERT_EQ(stages.size(), 1u);
  EXPECT_EQ(stages[0].m, "vantor lookup port (item 0)");
}

// ---- probe report lines ---------------------------------------------------------------------------

TEST_F(ShapeItems, EverySwitchSetWithoutACapturePrintsTheEmptyValues) {
  for (const char *s : kSwitches) ::setenv(s, "", 1);
  StderrCapture err;
  Value doc = shape_ok(u"ab");
  EXPECT_EQ(err.take(),
            "[nativerun] apps=0\n"
            "[nativerun] last_run=None shaped_final=[97, 98] match=false\n"
            "[glyph] fires=0 cap=16\n"
            "[glyph] distinct_states=0\n"
            "[ret] fires=0 base=0x0\n"
            "[worker] events=0 gdi32full_base=0x0\n"
            "[callee] fires (ts_probe=true):\n");
}

TEST_F(ShapeItems, CapturedValuesArePrintedInTheirFormats) {
  for (const char *s : kSwitches) ::setenv(s, "1", 1);
  backend.plans[0].oom_attempts = 1;
  backend.on_shaped = [](std::size_t) {
    tesvo::NativeCapture &c = current_run->tracing.capture;
    c.apps = 3;
    c.last_run = std::vector<std::uint16_t>{97, 98};
    c.glyph_fires = 7;
    c.distinct_states = -2;
    c.ret_fires = 9;
    c.ret_base = 0x7ff0;
    c.ret_hits[{0x20, 0x1}] = {2, "b"};
    c.ret_hits[{0x10, 0x5}] = {1, "a"};
    c.ret_hits[{0x10, 0x2}] = {4, "c d"};
    c.ret_modbase = 0xabc;
    c.worker_events = 4;
    c.gdi32full_base = 0x180000000;
    c.callee_hits[0x10] = 3;
    c.callee_hits[0x2] = 1;
  };
  StderrCapture err;
  shape_ok(u"ab");
  EXPECT_EQ(err.take(),
            "[nativerun] apps=3\n"
            "[nativerun] last_run=Some([97, 98]) shaped_final=[97, 98] match=true\n"
            "[glyph] fires=7 cap=32\n"
            "[glyph] distinct_states=-2\n"
            "[ret] fires=9 base=0x7ff0\n"
            "[ret] h=0x10 c=0x2 x4 m=c d\n"
            "[ret] h=0x10 c=0x5 x1 m=a\n"
            "[ret] h=0x20 c=0x1 x2 m=b\n"
            "[ret] modbase=0xabc\n"
            "[worker] events=4 gdi32full_base=0x180000000\n"
            "[callee] fires (ts_probe=true):\n"
            "[callee]   0x2 x1\n"
            "[callee]   0x10 x3\n");
}

TEST_F(ShapeItems, EachSwitchPrintsOnlyItsOwnLines) {
  struct Case {
    std::vector<const char *> set;
    std::string report;
  };
  const Case cases[] = {
      {{}, ""},
      {{"TESVO_TS_RET"}, ""},
      {{"TESVO_TS_RET", "TESVO_TS_PROBE"}, "[ret] fires=0 base=0x0\n[callee] fires (ts_probe=true):\n"},
      {{"TESVO_TS_PROBE"}, "[callee] fires (ts_probe=true):\n"},
      {{"TESVO_CALLEE_PROBE"}, "[callee] fires (ts_probe=false):\n"},
      {{"TESVO_RET_PROBE"}, "[ret] fires=0 base=0x0\n"},
      {{"TESVO_WORKER_PROBE"}, "[worker] events=0 gdi32full_base=0x0\n"},
      {{"TESVO_GLYPH_PROBE"}, "[glyph] fires=0 cap=16\n[glyph] distinct_states=0\n"},
      {{"TESVO_NATIVE_RUN"}, "[nativerun] apps=0\n[nativerun] last_run=None shaped_final=[97] match=false\n"},
  };
  for (const Case &c : cases) {
    clear_switches();
    for (const char *s : c.set) ::setenv(s, "", 1);
    FakeBackend fresh;
    backend = std::move(fresh);
    StderrCapture err;
    shape_ok(u"a");
    EXPECT_EQ(err.take(), c.report) << (c.set.empty() ? "none" : c.set[0]);
  }
}

TEST_F(ShapeItems, SwitchesAreReadAfreshAtTheStartOfEveryItem) {
  backend.items = {item_at(0), item_at(1), item_at(2)};
  // Set while the first item is being shaped: too late for it, in time for the next.
  backend.on_shaped = [](std::size_t start) {
    if (start == 0) ::setenv("TESVO_WORKER_PROBE", "", 1);
  };
  StderrCapture err;
  shape_ok(u"ab");
  EXPECT_EQ(err.take(), "[worker] events=0 gdi32full_base=0x0\n");
}

TEST_F(ShapeItems, ReportLineThatCannotBeWrittenIsAnEngineFailure) {
  int full = ::open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  ::setenv("TESVO_WORKER_PROBE", "", 1);
  int saved = ::dup(STDERR_FILENO);
  ::dup2(full, STDERR_FILENO);
  bool panicked = false;
  try {
    (void)shape(u"a");
  } catch (const tesvo::EnginePanic &) {
    panicked = true;
  }
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(full);
  EXPECT_TRUE(panicked);
}

TEST_F(ShapeItems, ReportLinesComeBeforeReadBackAndPlacingAndChangeNothing) {
  usp = fake_table(kAllTrace);
  backend.plans[0].stages = {{"s", {1}}};
  const std::string quiet = std::string(tesvo::render_json(shape_ok(u"a", {.trace = true})).view());

  FakeBackend fresh;
  backend = std::move(fresh);
  backend.plans[0].stages = {{"s", {1}}};
  ::setenv("TESVO_NATIVE_RUN", "", 1);
  StderrCapture err;
  const std::string loud = std::string(tesvo::render_json(shape_ok(u"a", {.trace = true})).view());
  EXPECT_GT(backend.stderr_at_count, 0);
  EXPECT_GT(backend.stderr_at_place, 0);
  EXPECT_FALSE(err.take().empty());
  EXPECT_EQ(loud, quiet);
}

}  // namespace
