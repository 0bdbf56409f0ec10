// The in-process fake of the backend's entry table, the readers of the document
// and the ShapeItems fixture of the shaping run's tests (run_fixture.h).
#include "run_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace run_fixture {

std::uint32_t bits_of(const SCRIPT_ANALYSIS &a) {
  std::uint32_t v = 0;
  std::memcpy(&v, &a, sizeof a);
  return v;
}

SCRIPT_ITEM item_at(int pos, unsigned script, bool rtl) {
  SCRIPT_ITEM item{};
  item.iCharPos = pos;
  item.a.eScript = static_cast<WORD>(script);
  item.a.fRTL = rtl ? 1 : 0;
  return item;
}

FakeBackend *fake = nullptr;
ShapeRun *current_run = nullptr;

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

Usp10 fake_table(Exports e) {
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

// ---- reading the document ------------------------------------------------------------

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
                      const char *tag, unsigned script, bool rtl) {
  return "Uniscribe item " + std::to_string(index) + ": script " + std::to_string(script) + " tag " + tag +
         " chars " + std::to_string(start) + ".." + std::to_string(end) + " -> " + std::to_string(glyphs) +
         " glyphs" + (rtl ? " (RTL, visual order out)" : "");
}

// ---- standard error capture -----------------------------------------------------------

void clear_switches() {
  for (const char *s : kSwitches) ::unsetenv(s);
}

StderrCapture::StderrCapture() {
  char path[] = "/tmp/tesvo_run_test_stderr_XXXXXX";
  file_ = ::mkstemp(path);
  ::unlink(path);
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(file_, STDERR_FILENO);
}

std::string StderrCapture::take() {
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

void StderrCapture::restore() {
  if (saved_ < 0) return;
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  saved_ = -1;
}

// ---- the fixture ----------------------------------------------------------------------

tesvo::Result<Value> ShapeItems::shape(std::u16string_view text, const RunOptions &o) {
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
  traces = std::move(run.tracing.item_traces);
  cuts = std::move(run.cuts);
  current_run = nullptr;
  EXPECT_EQ(backend.handle_faults, 0);
  EXPECT_EQ(cache, nullptr);
  return result;
}

Value ShapeItems::shape_ok(std::u16string_view text, const RunOptions &o) {
  auto result = shape(text, o);
  if (!result.ok()) {
    ADD_FAILURE() << result.error();
    Value empty = Value::object();
    for (const char *key : {"final", "messages", "stages"}) empty.insert(key, Value::array());
    return empty;
  }
  return std::move(*result);
}

std::string ShapeItems::shape_error(std::u16string_view text, const RunOptions &o) {
  auto result = shape(text, o);
  if (result.ok()) {
    ADD_FAILURE() << "the run succeeded";
    return {};
  }
  return result.error();
}

}  // namespace run_fixture
