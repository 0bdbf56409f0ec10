#include "lib/session.h"

#include <dlfcn.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "lib/driver.h"
#include "lib/run.h"
#include "lib/unicode_tables.h"
#include "port/port.h"

namespace tesvo {

namespace {

constexpr std::int64_t kLongestText = (INT_MAX - 8) / 3;

// The file the backend's entry points were loaded from, as errors name it.
std::string library_name(const Usp10 &usp) {
  Dl_info info{};
  void *address = nullptr;
  static_assert(sizeof address == sizeof usp.itemize);
  std::memcpy(&address, &usp.itemize, sizeof address);
  if (::dladdr(address, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
  return "(unknown library)";
}

// A tag of 1 to 4 printable ASCII characters, padded with spaces.
Result<OPENTYPE_TAG> parse_tag(std::string_view tag, const char *what) {
  bool printable = !tag.empty() && tag.size() <= 4;
  for (char c : tag) printable = printable && c >= 0x20 && c <= 0x7E;
  if (!printable) return fail(std::string("bad ") + what + " tag " + quoted(tag) + ": an OpenType tag is 1 to 4 ASCII characters");
  return pack_tag(tag);
}

// Frees the script cache of one text on every way out; the font stays with
// the backend for the next text.
class CacheGuard {
 public:
  CacheGuard(const Usp10 &usp, SCRIPT_CACHE &cache) : usp_(usp), cache_(cache) {}
  CacheGuard(const CacheGuard &) = delete;
  CacheGuard &operator=(const CacheGuard &) = delete;
  ~CacheGuard() { usp_.free_cache(&cache_); }

 private:
  const Usp10 &usp_;
  SCRIPT_CACHE &cache_;
};

class RecordSink : public ItemSink {
 public:
  explicit RecordSink(ShapedText &out) : out_(out) {}

  void item(ShapeRun &run, const ItemView &item, std::span<const GlyphRecord> records) override {
    const auto index = static_cast<std::uint32_t>(out_.items.size());
    const bool rtl = item.analysis.fRTL != 0;
    out_.items.push_back(ShapedItemRecord{static_cast<std::uint32_t>(item.start),
                                          static_cast<std::uint32_t>(item.end),
                                          static_cast<std::uint8_t>(item.analysis.s.uBidiLevel), rtl, item.tag,
                                          static_cast<std::uint16_t>(item.analysis.eScript)});
    const std::size_t n = records.size();
    for (std::size_t i = 0; i < n; ++i) {
      const GlyphRecord &r = records[rtl ? n - 1 - i : i];
      out_.glyphs.push_back(ShapedGlyphRecord{r.g, static_cast<std::uint32_t>(r.cl + item.start), index, r.ax,
                                              r.dx, r.dy});
    }
    if (!run.item_stages.empty()) {
      for (TraceStage &stage : run.item_stages) out_.stages.push_back(full_stage(index, item.start, stage));
    } else {
      for (StagePair &stage : run.lookup_stages) out_.stages.push_back(ids_stage(index, stage));
    }
    run.item_stages.clear();
    run.lookup_stages.clear();
  }

 private:
  // A stage as the port's full read-back gives it: kind, true clusters, positions.
  static StageRecord full_stage(std::uint32_t index, std::size_t start, TraceStage &stage) {
    StageRecord out{index, std::string(stage_kind_name(stage.kind)), std::move(stage.name), {}};
    out.glyphs.reserve(stage.glyphs.size());
    const bool positioned = stage.positioned();
    for (const TraceGlyph &g : stage.glyphs)
      out.glyphs.push_back(StageGlyphRecord{static_cast<std::uint16_t>(g.id), static_cast<std::int64_t>(g.cluster + start),
                                            positioned, g.advance, g.x_offset, g.y_offset});
    return out;
  }

  // A port without the full read-back: glyph ids alone.
  static StageRecord ids_stage(std::uint32_t index, StagePair &stage) {
    StageRecord out{index, std::string(), std::move(stage.name), {}};
    out.glyphs.reserve(stage.glyphs.size());
    for (std::uint16_t id : stage.glyphs) out.glyphs.push_back(StageGlyphRecord{id});
    return out;
  }

 private:
  ShapedText &out_;
};

}  // namespace

bool first_strong_is_rtl(std::u16string_view text) {
  int isolates = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (cp >= 0x2066 && cp <= 0x2068) {
      ++isolates;
    } else if (cp == 0x2069) {
      if (isolates > 0) --isolates;
    } else if (isolates == 0) {
      if (StrongBidi strong = strong_bidi(cp); strong != StrongBidi::none) return strong == StrongBidi::rtl;
    }
  }
  return false;
}

FontSession::FontSession(FontBytes font, Usp10 usp)
    : font_(std::move(font)), usp_(usp), metrics_(read_font_metrics(font_.span())), backend_name_(library_name(usp_)),
      owner_(port::new_owner()) {
  std::optional<std::string> family = sfnt_family(font_.span());
  family_ = family ? std::move(*family) : std::string();
}

Result<std::unique_ptr<FontSession>> FontSession::open(std::span<const std::uint8_t> bytes, std::uint32_t index,
                                                       const std::optional<std::string> &backend) {
  Result<FontBytes> face = extract_face(bytes, index);
  if (!face) return face.take_failure();
  Result<Usp10> usp = Usp10::load(backend);
  if (!usp) return usp.take_failure();
  std::unique_ptr<FontSession> session(new FontSession(std::move(*face), *usp));
  if (usp->set_font_bytes == nullptr)
    return fail("backend " + session->backend_name_ + " cannot take font bytes: it has no usp_set_font_bytes export");
  std::lock_guard<std::mutex> hold(port::lock());
  if (auto r = session->make_resident(); !r) return r.take_failure();
  return session;
}

FontSession::~FontSession() {
  std::lock_guard<std::mutex> hold(port::lock());
  if (port::resident_font(usp_.library) != owner_) return;
  if (usp_.clear_font_bytes != nullptr) usp_.clear_font_bytes();
  port::set_resident_font(usp_.library, 0);
}

// With the port lock held: hands the backend this font unless it still has it.
Result<std::monostate> FontSession::make_resident() {
  if (port::resident_font(usp_.library) == owner_) return std::monostate{};
  if (int rc = usp_.set_font_bytes(font_.data(), font_.size()); rc != 0) {
    port::set_resident_font(usp_.library, 0);
    return fail("usp_set_font_bytes failed (rc=" + std::to_string(rc) + ")");
  }
  port::set_resident_font(usp_.library, owner_);
  return std::monostate{};
}

Result<TextPlan> FontSession::plan(const TextOptions &options) const {
  TextPlan plan;
  plan.trace = options.trace;
  if (options.direction == "ltr")
    plan.direction = TextPlan::Direction::ltr;
  else if (options.direction == "rtl")
    plan.direction = TextPlan::Direction::rtl;
  else if (options.direction != "auto")
    return fail("bad direction " + quoted(options.direction) + ": expected \"auto\", \"ltr\" or \"rtl\"");

  Result<FeatureList> features = parse_features(options.features);
  if (!features) return features.take_failure();
  plan.features = std::move(*features);
  if (!options.script.empty()) {
    Result<OPENTYPE_TAG> tag = parse_tag(options.script, "script");
    if (!tag) return tag.take_failure();
    plan.script = *tag;
  }
  if (!options.language.empty()) {
    Result<OPENTYPE_TAG> tag = parse_tag(options.language, "language");
    if (!tag) return tag.take_failure();
    plan.language = *tag;
  }

  const std::uint32_t applies = usp_.capabilities != nullptr ? usp_.capabilities() : 0;
  auto refuse = [&](const char *what) {
    return fail("backend " + backend_name_ + " cannot apply " + what +
                (usp_.capabilities == nullptr ? ": it does not export usp_capabilities"
                                              : ": its usp_capabilities does not list them"));
  };
  if (!plan.features.empty() && (applies & kUspAppliesFeatures) == 0) return refuse("features");
  if (plan.script != 0 && (applies & kUspAppliesScript) == 0) return refuse("a script tag");
  if (plan.language != kTagDflt && (applies & kUspAppliesLanguage) == 0) return refuse("a language tag");
  return plan;
}

Result<std::uint16_t> FontSession::paragraph(std::u16string_view text, const TextPlan &plan) const {
  pause_for("TESVO_PRESLEEP_MS");  // the diagnostic pause before each request, as for the compatibility call
  if (text.empty()) return fail("empty text");
  if (static_cast<std::int64_t>(text.size()) > kLongestText)
    return fail("text too long: " + std::to_string(text.size()) + " UTF-16 code units");
  switch (plan.direction) {
    case TextPlan::Direction::rtl: return std::uint16_t{1};
    case TextPlan::Direction::ltr: return std::uint16_t{0};
    case TextPlan::Direction::any_rtl_block: return direction_is_rtl("auto", text);
    case TextPlan::Direction::automatic: break;
  }
  return static_cast<std::uint16_t>(first_strong_is_rtl(text));
}

template <class Use> Result<std::monostate> FontSession::on_port(const TextPlan &plan, Use use) {
  std::lock_guard<std::mutex> hold(port::lock());
  if (auto r = make_resident(); !r) return r.take_failure();
  SCRIPT_CACHE cache = nullptr;
  CacheGuard guard(usp_, cache);
  ShapeRun run(usp_, &cache, plan.trace, false);
  run.script_tag = plan.script;
  run.language_tag = plan.language;
  return use(run);
}

Result<JsonText> FontSession::document(std::u16string_view text, const TextPlan &plan, const std::string &path) {
  Result<std::uint16_t> rtl = paragraph(text, plan);
  if (!rtl) return rtl.take_failure();
  ShapeOpts opts;
  opts.font = path;
  const std::string family = family_.empty() ? file_stem_family(path) : family_;
  Result<Value> doc = fail("");
  Result<std::monostate> ran = on_port(plan, [&](ShapeRun &run) -> Result<std::monostate> {
    doc = shape_items(text, *rtl, usp_, run, FontFacts{metrics_.upem, metrics_.glyph_count, family}, plan.features,
                      opts);
    return std::monostate{};
  });
  if (!ran) return ran.take_failure();
  if (!doc) return doc.take_failure();
  return render_json(*doc);
}

Result<ShapedText> FontSession::shape(std::u16string_view text, const TextPlan &plan) {
  Result<std::uint16_t> rtl = paragraph(text, plan);
  if (!rtl) return rtl.take_failure();
  ShapedText out;
  RecordSink sink(out);
  Result<std::monostate> ran = on_port(plan, [&](ShapeRun &run) {
    return shape_items_into(text, *rtl, usp_, run, plan.features, sink);
  });
  if (!ran) return ran.take_failure();
  if (out.glyphs.empty()) return fail("no glyphs produced");
  return out;
}

}  // namespace tesvo
