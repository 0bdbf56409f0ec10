// The held font: opening a face for the backend, checking a text's options
// against what the backend applies, and collecting the shaping run's items,
// glyphs and trace stages as plain records.
#include "shape/session.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "font/glyph_names.h"
#include "font/layout_tags.h"
#include "text/paragraph.h"
#include "shape/run.h"
#include "abi/port.h"

namespace tesvo {

namespace {

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
// A BCP 47 code ("sr", "zh-Hant") rather than an OpenType tag ("SRB", "ZHT "):
// OpenType language system tags are written in capitals; "dflt" is a tag.
bool is_language_code(std::string_view text) {
  if (text == "dflt") return false;
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || c == '-' || c == '_') return true;
  }
  return false;
}

Result<OPENTYPE_TAG> parse_tag(std::string_view tag, const char *what) {
  bool printable = !tag.empty() && tag.size() <= 4;
  for (char c : tag) printable = printable && c >= 0x20 && c <= 0x7E;
  if (!printable) return fail(std::string("bad ") + what + " tag " + quoted(tag) + ": an OpenType tag is 1 to 4 ASCII characters");
  return pack_tag(tag);
}

class RecordSink : public ItemSink {
 public:
  RecordSink(ShapedText &out, std::u16string_view text, bool breaks)
      : out_(out), text_(text), text_length_(text.size()), breaks_(breaks) {}

  void item(ShapeRun &run, const ItemView &item, std::span<const GlyphRecord> records) override {
    // About one glyph per character: no copy while the rows grow. Reserved
    // at the first item, once the itemizer has given its memory back, which
    // the rows then take over instead of growing the heap further.
    if (out_.glyphs.empty()) out_.glyphs.reserve(std::max(text_length_, records.size()));
    const auto index = static_cast<std::uint32_t>(out_.items.size());
    const bool rtl = item.analysis.fRTL != 0;
    out_.items.push_back(ShapedItemRecord{static_cast<std::uint32_t>(item.start),
                                          static_cast<std::uint32_t>(item.end),
                                          static_cast<std::uint8_t>(item.analysis.s.uBidiLevel), rtl, item.tag,
                                          static_cast<std::uint16_t>(item.analysis.eScript), item.continues});
    const std::size_t n = records.size();
    const bool props = item.glyph_props.size() == n;  // a backend's own count, checked
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = rtl ? n - 1 - i : i;
      const GlyphRecord &r = records[k];
      out_.glyphs.push_back(ShapedGlyphRecord{r.g, props ? packed_visattr(item.glyph_props[k].sva) : std::uint16_t{0},
                                              static_cast<std::uint32_t>(r.cl + item.start), index, r.ax, r.dx, r.dy});
    }
    keep_props(run, item, rtl);
    if (!run.tracing.item_stages.empty()) {
      for (TraceStage &stage : run.tracing.item_stages) out_.stages.push_back(change_record(index, item.start, stage));
    } else {
      std::span<const std::uint16_t> before;
      for (StagePair &stage : run.tracing.lookup_stages) {
        out_.stages.push_back(ids_record(index, stage, before));
        before = stage.glyphs;
      }
    }
    run.tracing.item_stages.clear();
    run.tracing.lookup_stages.clear();
  }

  void finish(ShapeRun &run) override { out_.cuts = std::move(run.cuts); }

 private:
  // The item's Uniscribe outputs beside its glyphs: its glyph properties in
  // the glyphs' order, its characters' log clusters and properties, its break
  // attributes when asked for.
  void keep_props(ShapeRun &run, const ItemView &item, bool rtl) {
    if (out_.log_clusters.empty()) {
      out_.log_clusters.resize(text_length_);
      out_.char_props.resize(text_length_);
      if (breaks_ && run.usp.script_break != nullptr) out_.breaks.resize(text_length_);
    }
    out_.widths = run.place_widths;
    out_.item_props.push_back(ItemProps{item.analysis, item.abc});
    if (rtl)
      out_.glyph_props.insert(out_.glyph_props.end(), item.glyph_props.rbegin(), item.glyph_props.rend());
    else
      out_.glyph_props.insert(out_.glyph_props.end(), item.glyph_props.begin(), item.glyph_props.end());
    const auto at = static_cast<std::ptrdiff_t>(item.start);
    std::copy(item.log_clusters.begin(), item.log_clusters.end(), out_.log_clusters.begin() + at);
    std::copy(item.char_props.begin(), item.char_props.end(), out_.char_props.begin() + at);
    if (out_.breaks.empty()) return;
    SCRIPT_ANALYSIS analysis = item.analysis;
    const int chars = static_cast<int>(item.end - item.start);
    if (run.usp.script_break(text_.data() + item.start, chars, &analysis,
                             out_.breaks.data() + at) != S_OK)
      std::fill_n(out_.breaks.begin() + at, chars, SCRIPT_LOGATTR{});
  }

  // A stage as the port's read-back gives it: kind, true clusters, positions.
  static StageRecord change_record(std::uint32_t index, std::size_t start, TraceStage &stage) {
    StageRecord out{index,      std::string(stage_kind_name(stage.kind)), std::move(stage.name), stage.positioned(),
                    stage.count, stage.start,                              stage.stop,            {},
                    std::move(stage.nested)};
    out.glyphs.reserve(stage.glyphs.size());
    for (const TraceGlyph &g : stage.glyphs)
      out.glyphs.push_back(StageGlyphRecord{static_cast<std::uint16_t>(g.id), static_cast<std::int64_t>(g.cluster + start),
                                            g.advance, g.x_offset, g.y_offset});
    return out;
  }

  // A port that gives glyph ids alone: the change from the stage before, by id.
  static StageRecord ids_record(std::uint32_t index, const StagePair &stage, std::span<const std::uint16_t> before) {
    const std::span<const std::uint16_t> after = stage.glyphs;
    const auto [head, tail] = common_ends(before, after);
    StageRecord out{index, std::string(), stage.name, false, after.size(), head, before.size() - tail, {}};
    for (std::size_t k = head; k < after.size() - tail; ++k) out.glyphs.push_back(StageGlyphRecord{after[k]});
    return out;
  }

 private:
  ShapedText &out_;
  std::u16string_view text_;
  std::size_t text_length_;
  bool breaks_;
};

}  // namespace

FontSession::FontSession(FontBytes font, Usp10 usp)
    : font_(std::move(font)), usp_(usp), metrics_(read_font_metrics(font_.span())), backend_name_(library_name(usp_)),
      owner_(port::new_owner()) {
  std::optional<std::string> family = sfnt_family(font_.span());
  family_ = family ? std::move(*family) : std::string();
}

Result<std::unique_ptr<FontSession>> FontSession::open(std::span<const std::uint8_t> bytes, std::uint32_t index,
                                                       const std::optional<std::string> &backend) {
  Result<FontBytes> face = face_bytes(bytes, index);
  if (!face) return face.take_failure();
  Result<Usp10> usp = Usp10::load(backend);
  if (!usp) return usp.take_failure();
  std::unique_ptr<FontSession> session(new FontSession(std::move(*face), *usp));
  if (usp->set_font_bytes == nullptr)
    return fail("backend " + session->backend_name_ + " cannot take font bytes: it has no usp_set_font_bytes export");
  // Handed over now, so that a font the backend refuses fails here, not at the first text.
  ResidentFont resident(session->usp_, session->port_font());
  if (auto r = resident.hand_over(); !r) return r.take_failure();
  return session;
}

FontSession::~FontSession() { ResidentFont::release(usp_, owner_); }

Result<TextPlan> FontSession::plan(const TextOptions &options) const {
  TextPlan plan;
  plan.trace = options.trace;
  // Unlike the compatibility call, the package has no length limit: an item
  // past the glyph limit is shaped as pieces, each with its own line.
  plan.cut_long_items = true;
  plan.place_widths = options.extras;
  plan.breaks = options.extras;
  Result<ParagraphDirection> direction = parse_direction(options.direction);
  if (!direction) return direction.take_failure();
  plan.direction = *direction;

  Result<FeatureSet> features = parse_feature_set(options.features);
  if (!features) return features.take_failure();
  plan.features = std::move(features->whole);
  plan.ranged_features = std::move(features->ranged);
  if (!options.script.empty()) {
    Result<OPENTYPE_TAG> tag = parse_tag(options.script, "script");
    if (!tag) return tag.take_failure();
    plan.script = *tag;
  }
  if (!options.language.empty()) {
    Result<OPENTYPE_TAG> tag = is_language_code(options.language) ? language_system(options.language)
                                                                  : parse_tag(options.language, "language");
    if (!tag) return tag.take_failure();
    plan.language = *tag;
  }
  for (const LayoutScript &script : layout().gsub) plan.font_scripts.push_back(pack_tag(script.tag));
  for (const LayoutScript &script : layout().gpos) {
    if (std::find(plan.font_scripts.begin(), plan.font_scripts.end(), pack_tag(script.tag)) == plan.font_scripts.end())
      plan.font_scripts.push_back(pack_tag(script.tag));
  }

  if (!options.variations.empty()) {
    Result<Location> location = parse_variations(options.variations);
    if (!location) return location.take_failure();
    plan.location = std::move(*location);
  }

  const std::uint32_t applies = usp_.capabilities != nullptr ? usp_.capabilities() : 0;
  auto refuse = [&](const char *what) {
    return fail("backend " + backend_name_ + " cannot apply " + what +
                (usp_.capabilities == nullptr ? ": it does not export usp_capabilities"
                                              : ": its usp_capabilities does not list them"));
  };
  if ((!plan.features.empty() || !plan.ranged_features.empty()) && (applies & kUspAppliesFeatures) == 0)
    return refuse("features");
  if (plan.script != 0 && (applies & kUspAppliesScript) == 0) return refuse("a script tag");
  if (plan.language != kTagDflt && (applies & kUspAppliesLanguage) == 0) return refuse("a language tag");
  if (!plan.location.empty() && ((applies & kUspAppliesVariations) == 0 || usp_.set_variations == nullptr))
    return refuse("variations");
  return plan;
}

Result<std::vector<AxisCoordinate>> FontSession::coordinates(const TextPlan &plan) {
  return axis_coordinates(usp_, port_font(), plan);
}

const LayoutTags &FontSession::layout() const {
  std::call_once(layout_once_, [this] { layout_ = layout_tags(font_.span()); });
  return layout_;
}

Result<OPENTYPE_TAG> FontSession::language_system(const std::string &code) const {
  if (usp_.language_tags == nullptr)
    return fail("backend " + backend_name_ + " cannot map the language code " + quoted(code) +
                ": it has no usp_language_tags export; give an OpenType language system tag such as SRB");
  OPENTYPE_TAG tags[kMaxLanguageTags] = {};
  const int count = usp_.language_tags(code.c_str(), tags, kMaxLanguageTags);
  if (count < 0) return fail("bad language " + quoted(code) + ": not a BCP 47 language code");
  if (count == 0) return kTagDflt;  // no language system for it: the default one, as HarfBuzz does
  // The first the font has under any script, as HarfBuzz tries them in order;
  // else the first, which selects the default language system.
  for (int i = 0; i < std::min(count, kMaxLanguageTags); ++i) {
    for (const auto *table : {&layout().gsub, &layout().gpos}) {
      for (const LayoutScript &script : *table) {
        for (const std::string &language : script.languages)
          if (pack_tag(language) == tags[i]) return tags[i];
      }
    }
  }
  return tags[0];
}

const std::vector<std::string> &FontSession::glyph_names() const {
  std::call_once(names_once_, [this] { names_ = tesvo::glyph_names(font_.span()); });
  return names_;
}

std::string FontSession::backend_version() const {
  const char *version = usp_.backend_version != nullptr ? usp_.backend_version() : nullptr;
  return version != nullptr ? std::string(version) : std::string();
}

Result<JsonText> FontSession::document(std::u16string_view text, const TextPlan &plan, const std::string &path,
                                               bool compact) {
  pause_for("TESVO_PRESLEEP_MS");  // the diagnostic pause before each request, as for the compatibility call
  const std::string family = family_.empty() ? file_stem_family(path) : family_;
  const DocumentArena arena(text.size());  // outlives the tree
  Result<Value> doc =
      shape_document(usp_, port_font(), text, plan, FontFacts{metrics_.upem, metrics_.glyph_count, family, path});
  if (!doc) return doc.take_failure();
  return render_json(*doc, compact);
}

Result<ShapedText> FontSession::shape(std::u16string_view text, const TextPlan &plan) {
  pause_for("TESVO_PRESLEEP_MS");
  ShapedText out;
  RecordSink sink(out, text, plan.breaks);
  if (auto ran = shape_text(usp_, port_font(), text, plan, sink); !ran) return ran.take_failure();
  if (out.glyphs.empty()) return fail("no glyphs produced");
  return out;
}

}  // namespace tesvo
