#include "lib/driver.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "lib/environment.h"
#include "lib/features.h"
#include "lib/font.h"
#include "lib/run.h"
#include "lib/utf.h"
#include "loader/loader.h"
#include "port/port.h"

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

// Releases the port's per-request state on every way out of the run,
// unexpected engine failures included: the port must not keep pointing at
// font bytes that the request is about to free.
class PortSession {
 public:
  PortSession(const Usp10 &usp, SCRIPT_CACHE &cache) : usp_(usp), cache_(cache) {}
  PortSession(const PortSession &) = delete;
  PortSession &operator=(const PortSession &) = delete;
  ~PortSession() {
    usp_.free_cache(&cache_);
    if (usp_.clear_font_bytes != nullptr) usp_.clear_font_bytes();
  }

 private:
  const Usp10 &usp_;
  SCRIPT_CACHE &cache_;
};

constexpr std::int64_t kLongestText = (INT_MAX - 8) / 3;

Result<Value> run_with_port(const ShapeOpts &opts, const FontBytes &font, const FontMetrics &metrics,
                            const Usp10 &usp, const FeatureList &features, std::u16string_view text,
                            std::uint16_t rtl) {
  // The port keeps one process-wide font and trace. Requests hand it their
  // font and shape with it one at a time, or they would shape with each
  // other's font. This request replaces whatever font the port kept.
  std::lock_guard<std::mutex> hold(port::lock());
  port::set_resident_font(usp.library, 0);
  if (usp.set_font_bytes == nullptr)
    return fail("this libvantor has no usp_set_font_bytes export — rebuild the port with fontbytes");
  if (int rc = usp.set_font_bytes(font.data(), font.size()); rc != 0)
    return fail("usp_set_font_bytes failed (rc=" + std::to_string(rc) + ")");

  SCRIPT_CACHE cache = nullptr;
  PortSession session(usp, cache);
  std::optional<std::string> family = sfnt_family(font.span());
  std::string family_name = family ? std::move(*family) : file_stem_family(opts.font);
  ShapeRun run(usp, &cache, opts.trace, opts.textshaping && opts.trace);
  FontFacts facts{metrics.upem, metrics.glyph_count, family_name};
  return shape_items(text, rtl, usp, run, facts, features, opts);
}

}  // namespace

void pause_for(const char *variable) {
  if (std::optional<std::uint64_t> ms = parse_millis(environment_value(variable))) sleep_millis(*ms);
}

std::uint16_t direction_is_rtl(std::string_view direction, std::u16string_view text) {
  if (direction == "rtl") return 1;
  if (direction == "ltr") return 0;
  for (char16_t u : text) {
    if ((u >= 0x0590 && u <= 0x08FF) || (u >= 0xFB1D && u <= 0xFDFF) || (u >= 0xFE70 && u <= 0xFEFC)) return 1;
  }
  return 0;
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

  std::u16string text = utf8_to_utf16(opts.text);
  if (text.empty()) return fail("empty text");
  // The backend takes lengths and glyph buffers (3n + 8) as int.
  if (static_cast<std::int64_t>(text.size()) > kLongestText)
    return fail("text too long: " + std::to_string(text.size()) + " UTF-16 code units");
  std::uint16_t rtl = direction_is_rtl(opts.direction, text);

  return run_with_port(opts, *font, metrics, *usp, *features, text, rtl);
}

}  // namespace tesvo
