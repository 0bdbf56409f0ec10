// The shaping run's tests against an in-process fake of the backend's entry
// table: the fake and what it records of the calls, readers of the document the
// run makes, a capture of standard error and the ShapeItems fixture.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shape/run.h"

namespace run_fixture {

using tesvo::ShapeRun;
using tesvo::Usp10;
using tesvo::Value;

inline constexpr OPENTYPE_TAG kLatn = 0x6E74616C;
inline constexpr OPENTYPE_TAG kArab = 0x62617261;
inline constexpr OPENTYPE_TAG kDflt = 0x746C6664;
inline constexpr std::uint32_t kLogicalOrderBit = 0x4000;

std::uint32_t bits_of(const SCRIPT_ANALYSIS &a);
SCRIPT_ITEM item_at(int pos, unsigned script = 0, bool rtl = false);

// ---- the fake backend -------------------------------------------------------------

struct Stage {
  Stage(std::string stage_name, std::vector<WORD> stage_glyphs, int result = 0, std::optional<int> stage_count = {},
        bool null = false)
      : name(std::move(stage_name)), glyphs(std::move(stage_glyphs)), rc(result), count(stage_count),
        null_pointer(null) {}
  std::string name;  // raw bytes written to the 64-byte name buffer
  std::vector<WORD> glyphs;
  int rc;
  std::optional<int> count;  // default: the number of glyphs
  bool null_pointer;
  // For usp_trace_stage_glyphs: the kind and, when not empty, the full glyphs.
  int kind = USP_TRACE_KIND_SUBSTITUTE;
  std::vector<USP_TRACE_GLYPH> full;
  // For usp_trace_stage_change: the record (its glyphs pointing into `changed`).
  std::optional<USP_TRACE_STAGE_CHANGE> change;
  std::vector<USP_TRACE_GLYPH> changed;
};

// What the backend does for the item that starts at a given position.
struct ItemPlan {
  int oom_attempts = 0;  // E_OUTOFMEMORY answers before the shaping succeeds
  bool always_oom = false;
  HRESULT shape_hr = S_OK;
  std::optional<std::vector<WORD>> glyphs;    // default: one glyph per character, its code
  std::optional<std::vector<WORD>> clusters;  // default: character c points at glyph c
  std::optional<int> reported_count;          // pcGlyphs, default: the number of glyphs
  std::vector<int> advances;                  // default: 100 + k
  std::vector<GOFFSET> offsets;               // default: zero
  HRESULT place_hr = S_OK;
  std::vector<Stage> stages;  // recorded by the port's trace during a successful shaping
};

struct ShapeCall {
  std::size_t start;
  int chars;
  int max_glyphs;
  OPENTYPE_TAG script;
  OPENTYPE_TAG lang;
  std::uint32_t analysis;
  int ranges;
  bool range_chars_null;
  bool range_props_null;
  std::vector<int> range_chars;
  std::vector<OPENTYPE_FEATURE_RECORD> records;
  const OPENTYPE_FEATURE_RECORD *records_address;
  bool glyph_buffers_zeroed;
  int glyph_count_in;
};

struct PlaceCall {
  std::size_t start;
  int chars;
  int glyph_count;
  std::vector<WORD> glyphs;
  std::vector<WORD> clusters;
  OPENTYPE_TAG script;
  OPENTYPE_TAG lang;
  std::uint32_t analysis;
  int ranges;
  bool range_chars_null;
  bool range_props_null;
  std::vector<int> range_chars;
  std::vector<OPENTYPE_FEATURE_RECORD> records;
  bool abc_null;
};

struct FakeBackend {
  std::u16string_view text;
  SCRIPT_CACHE *expected_cache = nullptr;

  HRESULT itemize_hr = S_OK;
  std::vector<SCRIPT_ITEM> items;  // the items and, when it fits, the closing entry
  std::vector<OPENTYPE_TAG> item_tags;
  std::optional<int> item_count;  // default: items.size() - 1

  HRESULT tags_hr = S_OK;
  std::vector<OPENTYPE_TAG> font_tags;
  std::optional<int> font_tag_count;

  std::map<std::size_t, ItemPlan> plans;
  int longest_item = 0;  // E_OUTOFMEMORY for every item of more characters; 0: no limit
  std::function<void(std::size_t start)> on_shaped;
  std::optional<int> trace_count;

  // What the run did.
  std::vector<std::string> log;
  int handle_faults = 0;  // calls with a non-null hdc or another script cache
  int itemize_chars = 0, itemize_max_items = 0, itemize_count_in = -1;
  const WCHAR *itemize_text = nullptr;
  std::uint16_t itemize_state = 0xFFFF;
  std::uint32_t itemize_control = 0xFFFFFFFF;
  bool itemize_buffers_zeroed = false;
  std::vector<std::uint32_t> tags_analysis;
  std::vector<int> tags_max;
  bool tags_buffers_zeroed = true;
  std::vector<ShapeCall> shapes;
  std::vector<PlaceCall> places;
  std::map<std::size_t, int> attempts;
  std::vector<Stage> recorded;
  std::vector<WORD> stage_memory;  // shared by all stages: read at once or lose it
  int stage_request_faults = 0;
  off_t stderr_at_count = -1, stderr_at_place = -1;
};

// The backend of the test running, and the run it is shaping.
extern FakeBackend *fake;
extern ShapeRun *current_run;

// The fake's ScriptShapeOpenType, for tests that wrap it.
HRESULT fake_shape(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa, OPENTYPE_TAG script, OPENTYPE_TAG lang,
                   int *range_chars, TEXTRANGE_PROPERTIES **props, int ranges, const WCHAR *chars_in, int chars,
                   int max_glyphs, WORD *clusters, SCRIPT_CHARPROP *char_props, WORD *glyphs,
                   SCRIPT_GLYPHPROP *glyph_props, int *glyph_count);

struct Exports {
  bool begin = false, count = false, stage = false, stop = false, full = false, change = false;
};

// The entry table of the fake, with the trace functions that `e` asks for.
Usp10 fake_table(Exports e = {});

inline constexpr Exports kAllTrace{true, true, true, true};

// ---- reading the document ------------------------------------------------------------

struct Glyph {
  std::uint64_t g;
  std::uint64_t cl;
  std::int64_t ax = 0, dx = 0, dy = 0;
  bool operator==(const Glyph &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Glyph &g);
std::vector<Glyph> glyphs_of(const Value &array);
std::vector<std::string> messages_of(const Value &doc);

struct StageEntry {
  std::string m;
  std::vector<Glyph> glyphs;
};
std::vector<StageEntry> stages_of(const Value &doc);
std::vector<Glyph> final_of(const Value &doc);
std::vector<std::uint64_t> ids_of(const std::vector<Glyph> &glyphs);
std::vector<std::uint64_t> clusters_of(const std::vector<Glyph> &glyphs);
std::string item_line(std::size_t index, std::size_t start, std::size_t end, std::size_t glyphs,
                      const char *tag = "0x6e74616c", unsigned script = 0, bool rtl = false);

// ---- standard error capture -----------------------------------------------------------

// The switches that turn on the probe report lines.
inline const char *const kSwitches[] = {"TESVO_NATIVE_RUN",   "TESVO_GLYPH_PROBE",  "TESVO_RET_PROBE",
                                        "TESVO_TS_RET",       "TESVO_WORKER_PROBE", "TESVO_CALLEE_PROBE",
                                        "TESVO_TS_PROBE"};

void clear_switches();

// Points fd 2 at a fresh temporary file until take() or destruction.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture() { restore(); }
  std::string take();

 private:
  void restore();
  int file_ = -1;
  int saved_ = -1;
};

// ---- the fixture ----------------------------------------------------------------------

struct RunOptions {
  std::uint16_t rtl = 0;
  bool trace = false;
  bool native_trace = false;
  tesvo::FeatureList features{};
  std::function<void(ShapeRun &)> before{};  // prepares the run record
};

class ShapeItems : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_switches();
    fake = &backend;
  }
  void TearDown() override {
    clear_switches();
    fake = nullptr;
    current_run = nullptr;
  }

  tesvo::Result<Value> shape(std::u16string_view text, const RunOptions &o = {});
  Value shape_ok(std::u16string_view text, const RunOptions &o = {});
  std::string shape_error(std::u16string_view text, const RunOptions &o = {});

  FakeBackend backend;
  Usp10 usp = fake_table();
  std::vector<tesvo::ItemTrace> traces;  // the run's full stages
  std::vector<tesvo::ItemCut> cuts;      // the items the run cut
};

}  // namespace run_fixture
