// The shaping driver: the compatibility request's steps in their order, the
// checks every text passes, and the port held around each text's run.
#include "shape/driver.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "base/environment.h"
#include "font/font.h"
#include "text/utf.h"
#include "abi/port.h"

namespace tesvo {

namespace {

std::optional<std::uint64_t> parse_millis(const char *value) {
  if (value == nullptr) return std::nullopt;
  std::string_view text(value);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t ms = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (ms > (UINT64_MAX - digit) / 10) return std::nullopt;
    ms = ms * 10 + digit;
  }
  return ms;
}

void sleep_millis(std::uint64_t ms) {
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
  timespec left{};
  while (::nanosleep(&wait, &left) != 0) wait = left;
}

constexpr std::int64_t kLongestText = (INT_MAX - 8) / 3;

// The script cache of one text, freed on every way out.
class ScriptCache {
 public:
  explicit ScriptCache(const Usp10 &usp) : usp_(usp) {}
  ScriptCache(const ScriptCache &) = delete;
  ScriptCache &operator=(const ScriptCache &) = delete;
  ~ScriptCache() { usp_.free_cache(&cache_); }
  SCRIPT_CACHE *get() { return &cache_; }

 private:
  const Usp10 &usp_;
  SCRIPT_CACHE cache_ = nullptr;
};

// Ranged features with their code-point indices turned into UTF-16 code units
// of the text; a range past the end stops at the end.
std::vector<RangedFeature> in_code_units(const std::vector<RangedFeature> &ranged, std::u16string_view text) {
  if (ranged.empty()) return {};
  std::vector<std::uint64_t> unit_of;  // UTF-16 offset of each code point, then the end
  unit_of.reserve(text.size() + 1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    unit_of.push_back(i);
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      ++i;
  }
  unit_of.push_back(text.size());
  const std::uint64_t points = unit_of.size() - 1;
  std::vector<RangedFeature> out = ranged;
  for (RangedFeature &f : out) {
    f.start = unit_of[std::min(f.start, points)];
    f.end = unit_of[std::min(f.end, points)];
  }
  return out;
}

// Checks the text, then runs shape(run, paragraph level) with the port held,
// the font resident and a script cache of the text's own.
template <class Shape>
auto on_port(const Usp10 &usp, const PortFont &font, std::u16string_view text, const TextPlan &plan, Shape shape)
    -> decltype(shape(std::declval<ShapeRun &>(), std::uint16_t{})) {
  if (auto r = check_text(text); !r) return r.take_failure();
  const std::uint16_t rtl = paragraph_level(plan.direction, text);
  ResidentFont resident(usp, font);
  if (auto r = resident.hand_over(); !r) return r.take_failure();
  if (auto r = resident.locate(plan.location); !r) return r.take_failure();
  ScriptCache cache(usp);
  ShapeRun run(usp, cache.get(), plan.trace, false);
  run.script_tag = plan.script;
  run.language_tag = plan.language;
  run.cut_long_items = plan.cut_long_items;
  run.place_widths = plan.place_widths;
  run.font_scripts = plan.font_scripts;
  run.ranged_features = in_code_units(plan.ranged_features, text);
  return shape(run, rtl);
}

}  // namespace

ResidentFont::ResidentFont(const Usp10 &usp, const PortFont &font) : hold_(port::lock()), usp_(usp), font_(font) {}

ResidentFont::~ResidentFont() {
  if (!handed_ || font_.owner != 0) return;
  if (usp_.clear_font_bytes != nullptr) usp_.clear_font_bytes();
}

Result<std::monostate> ResidentFont::hand_over() {
  if (font_.owner != 0 && port::resident_font(usp_.library) == font_.owner) {
    handed_ = true;
    return std::monostate{};
  }
  // Whatever font the backend kept is replaced from here on.
  port::set_resident_font(usp_.library, 0);
  if (usp_.set_font_bytes == nullptr)
    return fail("this libvantor has no usp_set_font_bytes export — rebuild the port with fontbytes");
  if (int rc = usp_.set_font_bytes(font_.bytes.data(), font_.bytes.size()); rc != 0)
    return fail("usp_set_font_bytes failed (rc=" + std::to_string(rc) + ")");
  port::set_resident_font(usp_.library, font_.owner);
  handed_ = true;
  return std::monostate{};
}

Result<std::monostate> ResidentFont::locate(const Location &location) {
  std::vector<std::int32_t> pairs = location_pairs(location);
  if (pairs == port::resident_location(usp_.library)) return std::monostate{};
  if (usp_.set_variations == nullptr) return fail("this backend cannot shape at a location: it has no usp_set_variations export");
  if (int rc = usp_.set_variations(pairs.data(), static_cast<int>(location.size())); rc != 0)
    return fail("usp_set_variations failed (rc=" + std::to_string(rc) + ")");
  port::set_resident_location(usp_.library, std::move(pairs));
  return std::monostate{};
}

void ResidentFont::release(const Usp10 &usp, std::uint64_t owner) {
  std::lock_guard<std::mutex> hold(port::lock());
  if (owner == 0 || port::resident_font(usp.library) != owner) return;
  if (usp.clear_font_bytes != nullptr) usp.clear_font_bytes();
  port::set_resident_font(usp.library, 0);
}

Result<std::monostate> check_text(std::u16string_view text) {
  if (text.empty()) return fail("empty text");
  if (static_cast<std::int64_t>(text.size()) > kLongestText)
    return fail("text too long: " + std::to_string(text.size()) + " UTF-16 code units");
  return std::monostate{};
}

Result<std::monostate> shape_text(const Usp10 &usp, const PortFont &font, std::u16string_view text,
                                  const TextPlan &plan, ItemSink &sink) {
  return on_port(usp, font, text, plan, [&](ShapeRun &run, std::uint16_t rtl) {
    return shape_items_into(text, rtl, usp, run, plan.features, sink);
  });
}

Result<Value> shape_document(const Usp10 &usp, const PortFont &font, std::u16string_view text, const TextPlan &plan,
                             const FontFacts &facts) {
  return on_port(usp, font, text, plan, [&](ShapeRun &run, std::uint16_t rtl) {
    // The document names each item's tag as the compatibility call does.
    run.font_scripts.clear();
    return shape_items(text, rtl, usp, run, facts, plan.features);
  });
}

Result<std::vector<AxisCoordinate>> axis_coordinates(const Usp10 &usp, const PortFont &font, const TextPlan &plan) {
  // A backend that cannot say shapes the default instance, whose coordinates
  // are the font's defaults: nothing to report beyond the font's own axes.
  if (usp.variation_coords == nullptr) {
    if (plan.location.empty()) return std::vector<AxisCoordinate>{};
    return fail("this backend does not report axis coordinates: it has no usp_variation_coords export");
  }
  ResidentFont resident(usp, font);
  if (auto r = resident.hand_over(); !r) return r.take_failure();
  if (auto r = resident.locate(plan.location); !r) return r.take_failure();
  const int axes = usp.variation_coords(nullptr, nullptr, 0);
  if (axes < 0) return fail("usp_variation_coords failed (rc=" + std::to_string(axes) + ")");
  std::vector<std::int32_t> design(static_cast<std::size_t>(axes)), normalized(static_cast<std::size_t>(axes));
  if (usp.variation_coords(design.data(), normalized.data(), axes) != axes) return fail("usp_variation_coords changed its answer");
  std::vector<AxisCoordinate> coords;
  coords.reserve(design.size());
  for (std::size_t i = 0; i < design.size(); ++i) coords.push_back({design[i], normalized[i]});
  return coords;
}

void pause_for(const char *variable) {
  if (std::optional<std::uint64_t> ms = parse_millis(environment_value(variable))) sleep_millis(*ms);
}

Result<Value> shape_value(ShapeOpts opts) {
  pause_for("TESVO_PRESLEEP_MS");
  // On Windows this point loads the TextShaping engine; here only the pause remains.
  if (environment_value("TESVO_PRELOAD_TS") != nullptr) pause_for("TESVO_POSTLOAD_MS");

  Result<FontBytes> font = read_font_file(opts.font);
  if (!font) return font.take_failure();
  FontMetrics metrics = read_font_metrics(font->span());

  if (opts.textshaping)
    return fail(
        "backend='textshaping' is Windows-only (it drives the system TextShaping engine via usp10); on this "
        "platform use backend='vantor' for the cross-platform per-lookup trace.");

  Result<Usp10> usp = Usp10::load(opts.usp10);
  if (!usp) return usp.take_failure();
  Result<FeatureList> features = parse_features(opts.features);
  if (!features) return features.take_failure();
  if (!features->empty() && usp->set_font_bytes != nullptr)
    return fail("features \"" + opts.features +
                "\" cannot be applied by the loaded Wine Uniscribe port: its ScriptShapeOpenType/"
                "ScriptPlaceOpenType log \"Ranges not supported yet\" and drop the OPENTYPE_FEATURE_RECORD "
                "array, so the result would silently ignore them. Use backend='usp10' (system Uniscribe) or "
                "backend='textshaping' for feature selection.");

  TextPlan plan;
  plan.direction = compat_direction(opts.direction);
  plan.features = std::move(*features);
  plan.trace = opts.trace;
  std::optional<std::string> family = sfnt_family(font->span());
  const std::string family_name = family ? std::move(*family) : file_stem_family(opts.font);
  return shape_document(*usp, PortFont{font->span()}, utf8_to_utf16(opts.text), plan,
                        FontFacts{metrics.upem, metrics.glyph_count, family_name, opts.font});
}

}  // namespace tesvo
