// The shaping run against an in-process fake of the backend's entry table:
// buffer sizing and growth, script tags, feature ranges, clusters, right-to-left
// order, failures, the per-lookup trace read-back, the native trace checks and
// the probe report lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lib/json_writer.h"
#include "lib/run.h"

namespace {

using tesvo::ShapeRun;
using tesvo::Usp10;
using tesvo::Value;

constexpr OPENTYPE_TAG kLatn = 0x6E74616C;
constexpr OPENTYPE_TAG kArab = 0x62617261;
constexpr OPENTYPE_TAG kDflt = 0x746C6664;
constexpr std::uint32_t kLogicalOrderBit = 0x4000;

std::uint32_t bits_of(const SCRIPT_ANALYSIS &a) {
  std::uint32_t v = 0;
  std::memcpy(&v, &a, sizeof a);
  return v;
}

SCRIPT_ITEM item_at(int pos, unsigned script = 0, bool rtl = false) {
  SCRIPT_ITEM item{};
  item.iCharPos = pos;
  item.a.eScript = static_cast<WORD>(script);
  item.a.fRTL = rtl ? 1 : 0;
  return item;
}

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

FakeBackend *fake = nullptr;
ShapeRun *current_run = nullptr;

void check_handles(HDC hdc, SCRIPT_CACHE *psc) {
  if (hdc != nullptr || psc != fake->expected_cache) ++fake->handle_faults;
}

template <class T> bool all_zero(const T *p, std::size_t n) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(p);
  for (std::size_t i = 0; i < n * sizeof(T); ++i)
    if (bytes[i] != 0) return false;
  return true;
}

HRESULT fake_itemize(const WCHAR *text, int chars, int max_items, const SCRIPT_CONTROL *control,
                     const SCRIPT_STATE *state, SCRIPT_ITEM *items, OPENTYPE_TAG *tags, int *count) {
  FakeBackend &f = *fake;
  f.log.push_back("itemize");
  f.itemize_text = text;
  f.itemize_chars = chars;
  f.itemize_max_items = max_items;
  f.itemize_count_in = *count;
  std::memcpy(&f.itemize_state, state, sizeof *state);
  std::memcpy(&f.itemize_control, control, sizeof *control);
  f.itemize_buffers_zeroed = all_zero(items, static_cast<std::size_t>(max_items) + 1) &&
                             all_zero(tags, static_cast<std::size_t>(max_items) + 1);
  if (f.itemize_hr != S_OK) return f.itemize_hr;
  std::size_t fits = std::min(f.items.size(), static_cast<std::size_t>(max_items) + 1);
  for (std::size_t i = 0; i < fits; ++i) {
    items[i] = f.items[i];
    tags[i] = i < f.item_tags.size() ? f.item_tags[i] : kLatn;
  }
  *count = f.item_count.value_or(static_cast<int>(f.items.size()) - 1);
  return S_OK;
}

HRESULT fake_font_script_tags(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa, int max_tags, OPENTYPE_TAG *tags,
                              int *count) {
  FakeBackend &f = *fake;
  f.log.push_back("tags");
  check_handles(hdc, psc);
  f.tags_analysis.push_back(bits_of(*psa));
  f.tags_max.push_back(max_tags);
  if (*count != 0 || !all_zero(tags, static_cast<std::size_t>(max_tags))) f.tags_buffers_zeroed = false;
  for (std::size_t i = 0; i < f.font_tags.size() && i < static_cast<std::size_t>(max_tags); ++i)
    tags[i] = f.font_tags[i];
  *count = f.font_tag_count.value_or(static_cast<int>(f.font_tags.size()));
  return f.tags_hr;
}

void copy_ranges(int *range_chars, TEXTRANGE_PROPERTIES **props, int ranges, std::vector<int> &chars_out,
                 std::vector<OPENTYPE_FEATURE_RECORD> &records_out) {
  if (range_chars != nullptr)
    for (int r = 0; r < ranges; ++r) chars_out.push_back(range_chars[r]);
  if (props != nullptr && ranges > 0)
    for (int i = 0; i < props[0]->cotfRecords; ++i) records_out.push_back(props[0]->potfRecords[i]);
}

HRESULT fake_shape(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa, OPENTYPE_TAG script, OPENTYPE_TAG lang,
                   int *range_chars, TEXTRANGE_PROPERTIES **props, int ranges, const WCHAR *chars_in, int chars,
                   int max_glyphs, WORD *clusters, SCRIPT_CHARPROP *char_props, WORD *glyphs,
                   SCRIPT_GLYPHPROP *glyph_props, int *glyph_count) {
  FakeBackend &f = *fake;
  f.log.push_back("shape");
  check_handles(hdc, psc);
  const std::size_t start = static_cast<std::size_t>(chars_in - f.text.data());
  ShapeCall call{start,
                 chars,
                 max_glyphs,
                 script,
                 lang,
                 bits_of(*psa),
                 ranges,
                 range_chars == nullptr,
                 props == nullptr,
                 {},
                 {},
                 props != nullptr ? props[0]->potfRecords : nullptr,
                 all_zero(glyphs, static_cast<std::size_t>(max_glyphs)) &&
                     all_zero(glyph_props, static_cast<std::size_t>(max_glyphs)),
                 *glyph_count};
  copy_ranges(range_chars, props, ranges, call.range_chars, call.records);
  f.shapes.push_back(call);

  // Touch every slot the run claims to have: a short buffer shows up under ASan.
  for (int k = 0; k < max_glyphs; ++k) {
    glyphs[k] = 0xEEEE;
    glyph_props[k] = SCRIPT_GLYPHPROP{};
    glyph_props[k].reserved = 0xEEEE;
  }
  for (int c = 0; c < chars; ++c) {
    clusters[c] = 0xEEEE;
    char_props[c].reserved = 1;
  }

  if (f.longest_item > 0 && chars > f.longest_item) return E_OUTOFMEMORY;
  ItemPlan &plan = f.plans[start];
  int attempt = f.attempts[start]++;
  if (plan.always_oom || attempt < plan.oom_attempts) {
    f.recorded.push_back(Stage{"stale attempt", {1}});
    return E_OUTOFMEMORY;
  }
  if (plan.shape_hr != S_OK) return plan.shape_hr;

  std::vector<WORD> out;
  if (plan.glyphs) {
    out = *plan.glyphs;
  } else {
    for (int c = 0; c < chars; ++c) out.push_back(chars_in[c]);
  }
  for (std::size_t k = 0; k < out.size() && k < static_cast<std::size_t>(max_glyphs); ++k) glyphs[k] = out[k];
  for (int c = 0; c < chars; ++c) {
    bool planned = plan.clusters && static_cast<std::size_t>(c) < plan.clusters->size();
    clusters[c] = planned ? (*plan.clusters)[c] : static_cast<WORD>(c);
  }
  *glyph_count = plan.reported_count.value_or(static_cast<int>(out.size()));
  f.recorded.insert(f.recorded.end(), plan.stages.begin(), plan.stages.end());
  if (f.on_shaped) f.on_shaped(start);
  return S_OK;
}

HRESULT fake_place(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa, OPENTYPE_TAG script, OPENTYPE_TAG lang,
                   int *range_chars, TEXTRANGE_PROPERTIES **props, int ranges, const WCHAR *chars_in,
                   WORD *clusters, SCRIPT_CHARPROP *, int chars, const WORD *glyphs, const SCRIPT_GLYPHPROP *,
                   int glyph_count, int *advances, GOFFSET *offsets, ABC *abc) {
  FakeBackend &f = *fake;
  f.log.push_back("place");
  check_handles(hdc, psc);
  f.stderr_at_place = ::lseek(STDERR_FILENO, 0, SEEK_CUR);
  const std::size_t start = static_cast<std::size_t>(chars_in - f.text.data());
  PlaceCall call{start,
                 chars,
                 glyph_count,
                 std::vector<WORD>(glyphs, glyphs + std::max(glyph_count, 0)),
                 std::vector<WORD>(clusters, clusters + chars),
                 script,
                 lang,
                 bits_of(*psa),
                 ranges,
                 range_chars == nullptr,
                 props == nullptr,
                 {},
                 {},
                 abc == nullptr};
  copy_ranges(range_chars, props, ranges, call.range_chars, call.records);
  f.places.push_back(call);

  const ItemPlan &plan = f.plans[start];
  for (int k = 0; k < std::max(glyph_count, 1); ++k) {
    std::size_t i = static_cast<std::size_t>(k);
    advances[k] = i < plan.advances.size() ? plan.advances[i] : 100 + k;
    offsets[k] = i < plan.offsets.size() ? plan.offsets[i] : GOFFSET{0, 0};
  }
  return plan.place_hr;
}

HRESULT fake_free_cache(SCRIPT_CACHE *) {
  fake->log.push_back("free");
  return S_OK;
}

void fake_trace_begin() {
  fake->log.push_back("begin");
  fake->recorded.clear();
}

int fake_trace_count() {
  fake->log.push_back("count");
  fake->stderr_at_count = ::lseek(STDERR_FILENO, 0, SEEK_CUR);
  return fake->trace_count.value_or(static_cast<int>(fake->recorded.size()));
}

int fake_trace_stage(int index, char *name, int capacity, int *glyph_count, const std::uint16_t **glyphs) {
  FakeBackend &f = *fake;
  f.log.push_back("stage");
  if (capacity != 64 || !all_zero(name, 64) || *glyph_count != 0 || *glyphs != nullptr) ++f.stage_request_faults;
  if (index < 0 || static_cast<std::size_t>(index) >= f.recorded.size()) return -1;
  const Stage &s = f.recorded[static_cast<std::size_t>(index)];
  std::memcpy(name, s.name.data(), std::min<std::size_t>(s.name.size(), 64));
  f.stage_memory = s.glyphs;
  *glyph_count = s.count.value_or(static_cast<int>(s.glyphs.size()));
  *glyphs = s.null_pointer ? nullptr : f.stage_memory.data();
  return s.rc;
}

void fake_trace_stop() { fake->log.push_back("stop"); }

int fake_trace_stage_glyphs(int index, USP_TRACE_STAGE_GLYPHS *out) {
  FakeBackend &f = *fake;
  if (index < 0 || static_cast<std::size_t>(index) >= f.recorded.size()) return 1;
  const Stage &s = f.recorded[static_cast<std::size_t>(index)];
  if (s.full.empty()) return 1;
  *out = USP_TRACE_STAGE_GLYPHS{s.kind, static_cast<int>(s.full.size()), s.full.data()};
  return 0;
}

int fake_trace_stage_change(int index, USP_TRACE_STAGE_CHANGE *out) {
  FakeBackend &f = *fake;
  if (index < 0 || static_cast<std::size_t>(index) >= f.recorded.size()) return 1;
  const Stage &s = f.recorded[static_cast<std::size_t>(index)];
  if (!s.change) return 1;
  *out = *s.change;
  out->glyphs = s.changed.data();
  out->name = s.name.c_str();
  return 0;
}

struct Exports {
  bool begin = false, count = false, stage = false, stop = false, full = false, change = false;
};

Usp10 fake_table(Exports e = {}) {
  Usp10 usp;
  usp.itemize = fake_itemize;
  usp.shape = fake_shape;
  usp.place = fake_place;
  usp.free_cache = fake_free_cache;
  usp.font_script_tags = fake_font_script_tags;
  if (e.begin) usp.trace_begin = fake_trace_begin;
  if (e.count) usp.trace_count = fake_trace_count;
  if (e.stage) usp.trace_stage = fake_trace_stage;
  if (e.stop) usp.trace_stop = fake_trace_stop;
  if (e.full) usp.trace_stage_glyphs = fake_trace_stage_glyphs;
  if (e.change) usp.trace_stage_change = fake_trace_stage_change;
  return usp;
}

constexpr Exports kAllTrace{true, true, true, true};

// ---- reading the document ------------------------------------------------------------

struct Glyph {
  std::uint64_t g;
  std::uint64_t cl;
  std::int64_t ax = 0, dx = 0, dy = 0;
  bool operator==(const Glyph &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Glyph &g) {
  return os << "{g " << g.g << " cl " << g.cl << " ax " << g.ax << " dx " << g.dx << " dy " << g.dy << "}";
}

std::vector<Glyph> glyphs_of(const Value &array) {
  std::vector<Glyph> out;
  for (std::size_t i = 0; i < array.size(); ++i) {
    const Value &r = array.at(i);
    EXPECT_EQ(r.find("ay")->as_uint(), 0u);
    EXPECT_EQ(r.find("flags")->as_uint(), 0u);
    out.push_back(Glyph{r.find("g")->as_uint(), r.find("cl")->as_uint(), r.find("ax")->as_int(),
                        r.find("dx")->as_int(), r.find("dy")->as_int()});
  }
  return out;
}

std::vector<std::string> messages_of(const Value &doc) {
  std::vector<std::string> out;
  const Value &messages = *doc.find("messages");
  for (std::size_t i = 0; i < messages.size(); ++i) out.emplace_back(messages.at(i).as_string());
  return out;
}

struct StageEntry {
  std::string m;
  std::vector<Glyph> glyphs;
};

std::vector<StageEntry> stages_of(const Value &doc) {
  std::vector<StageEntry> out;
  const Value &stages = *doc.find("stages");
  for (std::size_t i = 0; i < stages.size(); ++i) {
    const Value &e = stages.at(i);
    EXPECT_EQ(e.find("depth")->as_uint(), 0u);
    EXPECT_TRUE(e.find("effective")->as_bool());
    out.push_back(StageEntry{std::string(e.find("m")->as_string()), glyphs_of(*e.find("glyphs"))});
  }
  return out;
}

std::vector<Glyph> final_of(const Value &doc) { return glyphs_of(*doc.find("final")); }

std::vector<std::uint64_t> ids_of(const std::vector<Glyph> &glyphs) {
  std::vector<std::uint64_t> out;
  for (const Glyph &g : glyphs) out.push_back(g.g);
  return out;
}

std::vector<std::uint64_t> clusters_of(const std::vector<Glyph> &glyphs) {
  std::vector<std::uint64_t> out;
  for (const Glyph &g : glyphs) out.push_back(g.cl);
  return out;
}

std::string item_line(std::size_t index, std::size_t start, std::size_t end, std::size_t glyphs,
                      const char *tag = "0x6e74616c", unsigned script = 0, bool rtl = false) {
  return "Uniscribe item " + std::to_string(index) + ": script " + std::to_string(script) + " tag " + tag +
         " chars " + std::to_string(start) + ".." + std::to_string(end) + " -> " + std::to_string(glyphs) +
         " glyphs" + (rtl ? " (RTL, visual order out)" : "");
}

// ---- standard error capture -----------------------------------------------------------

const char *const kSwitches[] = {"TESVO_NATIVE_RUN",  "TESVO_GLYPH_PROBE",  "TESVO_RET_PROBE", "TESVO_TS_RET",
                                 "TESVO_WORKER_PROBE", "TESVO_CALLEE_PROBE", "TESVO_TS_PROBE"};

void clear_switches() {
  for (const char *s : kSwitches) ::unsetenv(s);
}

// Points fd 2 at a fresh temporary file until take() or destruction.
class StderrCapture {
 public:
  StderrCapture() {
    char path[] = "/tmp/tesvo_run_test_stderr_XXXXXX";
    file_ = ::mkstemp(path);
    ::unlink(path);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(file_, STDERR_FILENO);
  }
  ~StderrCapture() { restore(); }
  std::string take() {
    restore();
    std::string out;
    char buffer[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = ::pread(file_, buffer, sizeof buffer, at)) > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
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

  tesvo::Result<Value> shape(std::u16string_view text, const RunOptions &o = {}) {
    backend.text = text;
    if (backend.items.empty()) backend.items = {item_at(0), item_at(static_cast<int>(text.size()))};
    SCRIPT_CACHE cache = nullptr;
    backend.expected_cache = &cache;
    ShapeRun run(usp, &cache, o.trace, o.native_trace);
    if (o.before) o.before(run);
    current_run = &run;
    const std::string family = "Fam";
    const std::string path = "/fonts/f.ttf";
    tesvo::FontFacts facts{1000, 50, family, path};
    auto result = tesvo::shape_items(text, o.rtl, usp, run, facts, o.features);
    traces = std::move(run.item_traces);
    cuts = std::move(run.cuts);
    current_run = nullptr;
    EXPECT_EQ(backend.handle_faults, 0);
    EXPECT_EQ(cache, nullptr);
    return result;
  }

  Value shape_ok(std::u16string_view text, const RunOptions &o = {}) {
    auto result = shape(text, o);
    if (!result.ok()) {
      ADD_FAILURE() << result.error();
      Value empty = Value::object();
      for (const char *key : {"final", "messages", "stages"}) empty.insert(key, Value::array());
      return empty;
    }
    return std::move(*result);
  }

  std::string shape_error(std::u16string_view text, const RunOptions &o = {}) {
    auto result = shape(text, o);
    if (result.ok()) {
      ADD_FAILURE() << "the run succeeded";
      return {};
    }
    return result.error();
  }

  FakeBackend backend;
  Usp10 usp = fake_table();
  std::vector<tesvo::ItemTrace> traces;  // the run's full stages
  std::vector<tesvo::ItemCut> cuts;      // the items the run cut
};

// ---- buffer sizes ------------------------------------------------------------------------

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

// ---- glyph records and the document ------------------------------------------------------

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

// ---- failures -------------------------------------------------------------------------------

TEST(NamedCode, NamesTwoCodesAndPrintsEightUpperCaseDigits) {
  const std::pair<HRESULT, const char *> cases[] = {
      {E_INVALIDARG, "E_INVALIDARG (0x80070057)"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY (0x8007000E)"},
      {E_FAIL, "HRESULT error (0x80004005)"},
      {E_PENDING, "HRESULT error (0x8000000A)"},
      {USP_E_SCRIPT_NOT_IN_FONT, "HRESULT error (0x80040200)"},
      {1, "HRESULT error (0x00000001)"},
      {-1, "HRESULT error (0xFFFFFFFF)"},
  };
  for (const auto &[hr, text] : cases) EXPECT_EQ(tesvo::named_code(hr), text);
}

TEST(TagHex, EightLowerCaseDigits) {
  EXPECT_EQ(tesvo::tag_hex(kDflt), "0x746c6664");
  EXPECT_EQ(tesvo::tag_hex(0), "0x00000000");
  EXPECT_EQ(tesvo::tag_hex(0x20), "0x00000020");
  EXPECT_EQ(tesvo::tag_hex(0xFFFFFFFF), "0xffffffff");
}

TEST_F(ShapeItems, ItemizeFailureEndsTheRunWithTheNamedCode) {
  const std::pair<HRESULT, const char *> cases[] = {
      {E_INVALIDARG, "ScriptItemizeOpenType: E_INVALIDARG (0x80070057)"},
      {E_OUTOFMEMORY, "ScriptItemizeOpenType: E_OUTOFMEMORY (0x8007000E)"},
      {E_FAIL, "ScriptItemizeOpenType: HRESULT error (0x80004005)"},
      {1, "ScriptItemizeOpenType: HRESULT error (0x00000001)"},
  };
  for (const auto &[hr, message] : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.itemize_hr = hr;
    EXPECT_EQ(shape_error(u"ab"), message);
    EXPECT_EQ(backend.log, std::vector<std::string>{"itemize"});
  }
}

TEST_F(ShapeItems, ShapeFailureNamesTheTagAndTheCode) {
  usp = fake_table(kAllTrace);
  const std::pair<HRESULT, const char *> cases[] = {
      {E_INVALIDARG, "ScriptShapeOpenType tag=0x6e74616c: E_INVALIDARG (0x80070057)"},
      {USP_E_SCRIPT_NOT_IN_FONT, "ScriptShapeOpenType tag=0x6e74616c: HRESULT error (0x80040200)"},
      {E_PENDING, "ScriptShapeOpenType tag=0x6e74616c: HRESULT error (0x8000000A)"},
  };
  for (const auto &[hr, message] : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.items = {item_at(0), item_at(1), item_at(2)};
    backend.plans[1].shape_hr = hr;
    EXPECT_EQ(shape_error(u"ab", {.trace = true}), message);
    // The first item was done; the second ends the run before any read-back.
    EXPECT_EQ(backend.log, (std::vector<std::string>{"itemize", "tags", "begin", "shape", "count", "stop", "place",
                                                     "tags", "begin", "shape"}));
  }
}

TEST_F(ShapeItems, PlaceFailureIsNotRetried) {
  backend.plans[0].place_hr = E_OUTOFMEMORY;
  EXPECT_EQ(shape_error(u"ab"), "ScriptPlaceOpenType: E_OUTOFMEMORY (0x8007000E)");
  EXPECT_EQ(backend.places.size(), 1u);

  FakeBackend fresh;
  backend = std::move(fresh);
  backend.plans[0].place_hr = E_INVALIDARG;
  EXPECT_EQ(shape_error(u"ab"), "ScriptPlaceOpenType: E_INVALIDARG (0x80070057)");
}

TEST_F(ShapeItems, BackendBreakingItsCountsIsAnEngineFailure) {
  // More items than the item buffer holds (16 + 1 for a short text).
  backend.items = std::vector<SCRIPT_ITEM>(17, item_at(0));
  backend.item_count = 18;
  EXPECT_THROW((void)shape(u"a"), tesvo::EnginePanic);

  for (int count : {17, -1}) {  // the glyph buffer of a one-character item holds 16
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.plans[0].reported_count = count;
    EXPECT_THROW((void)shape(u"a"), tesvo::EnginePanic) << count;
  }

  FakeBackend fresh;
  backend = std::move(fresh);
  backend.plans[0].glyphs = std::vector<WORD>(16, 3);
  Value doc = shape_ok(u"a");  // exactly full is fine
  EXPECT_EQ(final_of(doc).size(), 16u);
}

// ---- per-lookup trace read-back --------------------------------------------------------------

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
                                run.lookup_stages.push_back({"leftover", {9}});
                                run.native_stages.push_back({"leftover", {9}});
                              }});
  EXPECT_EQ(stages_of(doc)[0].m, "Uniscribe shape item 0 (script 0, tag 0x6e74616c)");
  EXPECT_EQ(messages_of(doc).size(), 1u);
}

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
                               .before = [](ShapeRun &run) { run.native_ready = true; }}),
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
      current_run->native_ready = true;
      current_run->native.apps = c.apps;
      current_run->native.last_run = c.last_run;
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
    run.native_ready = true;
    run.native.apps = 2;
    if (start == 0) {
      run.native.last_run = std::vector<std::uint16_t>{'a', 'b'};
      run.native_stages = {{"gsub", {5, 6, 7}}, {"gpos", {'a', 'b'}}};
    } else {
      run.native.last_run = std::vector<std::uint16_t>{'c'};
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
    current_run->native_ready = true;
    current_run->native.last_run = std::vector<std::uint16_t>{'a'};
  };
  StderrCapture err;
  EXPECT_EQ(shape_error(u"ab", {.trace = true, .native_trace = true}), kUnsupported);
  EXPECT_EQ(backend.places.size(), 1u);
}

TEST_F(ShapeItems, NativeStagesAreIgnoredWithoutANativeTrace) {
  usp = fake_table(kAllTrace);
  backend.plans[0].stages = {{"port", {1, 2}}};
  backend.on_shaped = [](std::size_t) { current_run->native_stages = {{"native", {3}}}; };
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
    tesvo::NativeCapture &c = current_run->native;
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
