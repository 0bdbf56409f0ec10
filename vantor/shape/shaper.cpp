// Shaping one item with HarfBuzz: its script, language and features from the
// Uniscribe arguments, the buffer, and the shaped run.
#include "shaper.h"

#include <hb-ot.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ranges>
#include <span>
#include <string_view>
#include <utility>

#include "scripts.h"
#include "tags.h"

namespace vantor {
namespace {

constexpr bool is_default_script_tag(hb_tag_t tag) {
  return tag == 0 || (tag & 0xDFDFDFDFU) == HB_OT_TAG_DEFAULT_SCRIPT;
}

// The script HarfBuzz shapes with: the item's own, or, for an item without
// one, the script of the tag the caller chose.
hb_script_t item_script(const ItemArguments &args) {
  const hb_script_t own = script_from_number(args.analysis->eScript);
  if (own != HB_SCRIPT_INVALID) return own;
  const hb_tag_t tag = hb_tag_from_opentype(args.script_tag);
  if (is_default_script_tag(tag)) return HB_SCRIPT_COMMON;
  const hb_script_t from_tag = hb_ot_tag_to_script(tag);
  if (from_tag == HB_SCRIPT_INVALID || from_tag == HB_SCRIPT_UNKNOWN) return HB_SCRIPT_COMMON;
  return from_tag;
}

// The script tag HarfBuzz would pick by itself in this font, 0 if none.
hb_tag_t natural_script_tag(const FontFace &font, hb_script_t script) {
  const ScriptTags tags = font.script_tags_for(script);
  return tags.empty() ? 0 : tags.front();
}

// A language system tag becomes the language HarfBuzz gives that tag
// (hb_ot_tag_to_language: 'SRB' is "sr", a tag without a language of its own
// "x-hbot-..."), so that the result equals HarfBuzz's for that language. A
// script tag that overrides HarfBuzz's own choice travels as the private-use
// subtag -hbsc-; it is passed only when the font has it and HarfBuzz would not
// pick it anyway, so the common case shares its shape plans with every other
// caller.
hb_language_t item_language(const FontFace &font, hb_script_t script, const ItemArguments &args) {
  const hb_language_t system = is_default_language(args.language_tag)
                                   ? HB_LANGUAGE_INVALID
                                   : hb_ot_tag_to_language(hb_tag_from_opentype(args.language_tag));
  const hb_tag_t script_tag = hb_tag_from_opentype(args.script_tag);
  if (is_default_script_tag(script_tag) || !font.lists_script(script_tag) ||
      script_tag == natural_script_tag(font, script)) {
    return system;
  }
  const std::string_view base = system != HB_LANGUAGE_INVALID ? hb_language_to_string(system) : "";
  const bool private_use = base.starts_with("x-") || base.find("-x-") != std::string_view::npos;
  char subtag[24];
  const int length = std::snprintf(subtag, sizeof subtag, "%s-hbsc-%08x",
                                   base.empty() ? "x" : private_use ? "" : "-x", static_cast<unsigned>(script_tag));
  std::string language(base);
  language.append(subtag, static_cast<std::size_t>(length));
  return hb_language_from_string(language.data(), static_cast<int>(language.size()));
}

// One hb_feature_t per feature record of each range, covering the range's
// characters (cluster values are UTF-16 offsets). The ranges must cover the
// item exactly.
HRESULT collect_features(const ItemArguments &args, std::vector<hb_feature_t> *out) {
  if (args.range_count < 0) return E_INVALIDARG;
  if (args.range_count == 0) return S_OK;
  if (args.range_chars == nullptr || args.range_properties == nullptr) return E_INVALIDARG;
  long long start = 0;
  for (int r = 0; r < args.range_count; ++r) {
    const int length = args.range_chars[r];
    if (length < 0 || start + length > args.char_count) return E_INVALIDARG;
    const long long end = start + length;
    const TEXTRANGE_PROPERTIES *properties = args.range_properties[r];
    if (properties != nullptr) {
      if (properties->cotfRecords < 0) return E_INVALIDARG;
      if (properties->cotfRecords > 0 && properties->potfRecords == nullptr) return E_INVALIDARG;
      const bool whole_item = start == 0 && end == args.char_count;
      for (int k = 0; k < properties->cotfRecords; ++k) {
        const OPENTYPE_FEATURE_RECORD &record = properties->potfRecords[k];
        if (record.lParameter < 0) return E_INVALIDARG;
        if (length == 0) continue;
        hb_feature_t feature{};
        feature.tag = hb_tag_from_opentype(record.tagFeature);
        feature.value = static_cast<std::uint32_t>(record.lParameter);
        feature.start = whole_item ? HB_FEATURE_GLOBAL_START : static_cast<unsigned>(start);
        feature.end = whole_item ? HB_FEATURE_GLOBAL_END : static_cast<unsigned>(end);
        out->push_back(feature);
      }
    }
    start = end;
  }
  return start == args.char_count ? S_OK : E_INVALIDARG;
}

// Equal texts, compared as bytes: std::u16string's own comparison goes a
// code unit at a time, which a long item feels.
bool same_text(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

bool same_features(const std::vector<hb_feature_t> &a, const std::vector<hb_feature_t> &b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const hb_feature_t &x, const hb_feature_t &y) {
                      return x.tag == y.tag && x.value == y.value && x.start == y.start &&
                             x.end == y.end;
                    });
}

// Copies HarfBuzz's glyphs, given in logical order, into the run. Each
// vector is assigned whole: resizing first would zero it only to overwrite it.
template <class Infos, class Positions> void store_run(Infos infos, Positions positions, ShapedRun *out) {
  const auto glyphs = infos | std::views::transform(&hb_glyph_info_t::codepoint);
  const auto clusters = infos | std::views::transform(&hb_glyph_info_t::cluster);
  out->glyphs.assign(glyphs.begin(), glyphs.end());
  out->clusters.assign(clusters.begin(), clusters.end());
  out->positions.assign(positions.begin(), positions.end());
}

}  // namespace

WORD engine_bits(bool begins_text, bool ends_text) {
  return static_cast<WORD>((begins_text ? 0 : kEngineNotTextStart) |
                           (ends_text ? 0 : kEngineNotTextEnd));
}

hb_buffer_flags_t text_edge_flags(const SCRIPT_ANALYSIS &analysis) {
  const unsigned bits = analysis.s.fEngineReserved;
  unsigned flags = HB_BUFFER_FLAG_DEFAULT;
  if ((bits & kEngineNotTextStart) == 0) flags |= HB_BUFFER_FLAG_BOT;
  if ((bits & kEngineNotTextEnd) == 0) flags |= HB_BUFFER_FLAG_EOT;
  return static_cast<hb_buffer_flags_t>(flags);
}

HRESULT make_request(const FontFace &font, const ItemArguments &args, ShapeRequest *out) {
  out->text = std::u16string_view(args.chars, static_cast<std::size_t>(args.char_count));
  out->direction = args.analysis->fRTL ? HB_DIRECTION_RTL : HB_DIRECTION_LTR;
  out->script = item_script(args);
  out->language = item_language(font, out->script, args);
  out->flags = text_edge_flags(*args.analysis);
  out->features.clear();
  return collect_features(args, &out->features);
}

void fill_buffer(const ShapeRequest &request, hb_buffer_t *buffer) {
  hb_buffer_clear_contents(buffer);
  const int length = static_cast<int>(request.text.size());
  hb_buffer_add_utf16(buffer, reinterpret_cast<const std::uint16_t *>(request.text.data()), length, 0,
                      length);
  hb_buffer_set_direction(buffer, request.direction);
  hb_buffer_set_script(buffer, request.script);
  hb_buffer_set_language(buffer, request.language);
  // Where the text begins and ends: at its start HarfBuzz puts a dotted
  // circle before a mark that has no base.
  hb_buffer_set_flags(buffer, request.flags);
  // Monotone graphemes is HarfBuzz's default: marks share their base's
  // cluster, as they share a Uniscribe cluster.
  hb_buffer_set_cluster_level(buffer, HB_BUFFER_CLUSTER_LEVEL_MONOTONE_GRAPHEMES);
}

BufferPtr make_buffer(const ShapeRequest &request) {
  BufferPtr buffer(hb_buffer_create());
  fill_buffer(request, buffer.get());
  return buffer;
}

bool shape_buffer(const FontFace &font, const ShapeRequest &request, hb_buffer_t *buffer) {
  // hb_shape_full, not the plan alone: it is what sets HarfBuzz's limits on
  // the run (64 glyphs and 1024 operations per character, at least 16384
  // of each) before shaping and lifts them after. Without them a font whose
  // lookups keep inserting glyphs grows the run toward a billion glyphs. The
  // plan it uses is cached on the face, so items and requests that share
  // the font and properties still share the plan.
  const auto feature_count = static_cast<unsigned>(request.features.size());
  return hb_shape_full(font.font(), buffer, request.features.data(), feature_count, nullptr);
}

HRESULT shape(const FontFace &font, const ShapeRequest &request, hb_buffer_t *buffer, ShapedRun *out) {
  fill_buffer(request, buffer);
  if (!hb_buffer_allocation_successful(buffer)) return E_OUTOFMEMORY;
  // A run that reached HarfBuzz's limits is HarfBuzz's result as it stands
  // when it stopped, the run hb_shape hands back too. It is a result, not a
  // request for a larger glyph buffer: were it refused here, every retry of
  // the caller would shape the whole run again.
  if (!shape_buffer(font, request, buffer)) return E_FAIL;
  unsigned count = 0;
  const hb_glyph_info_t *infos = hb_buffer_get_glyph_infos(buffer, &count);
  const hb_glyph_position_t *positions = hb_buffer_get_glyph_positions(buffer, nullptr);
  const std::span<const hb_glyph_info_t> info_span(infos, count);
  const std::span<const hb_glyph_position_t> position_span(positions, count);
  if (request.direction == HB_DIRECTION_RTL) {
    store_run(info_span | std::views::reverse, position_span | std::views::reverse, out);
  } else {
    store_run(info_span, position_span, out);
  }
  return S_OK;
}

void ShapeMemo::set_key(Key &key, const ShapeRequest &request) {
  key.text.assign(request.text);
  key.direction = request.direction;
  key.script = request.script;
  key.language = request.language;
  key.flags = request.flags;
  key.features = request.features;
  key.origin = reinterpret_cast<std::uintptr_t>(request.text.data());
}

bool ShapeMemo::matches(const Key &key, const ShapeRequest &request) {
  return request.direction == key.direction && request.script == key.script && request.language == key.language &&
         request.flags == key.flags && same_text(request.text, key.text) && same_features(request.features, key.features);
}

const ShapedRun *ShapeMemo::find(const ShapeRequest &request) const {
  return valid_ && matches(key_, request) ? &run_ : nullptr;
}

const ShapedRun *ShapeMemo::recall(const ShapeRequest &request) {
  if (const ShapedRun *run = find(request)) return run;
  return cut_from_long(request) ? &run_ : nullptr;
}

ShapedRun &ShapeMemo::begin_store() {
  valid_ = false;
  return run_;
}

void ShapeMemo::commit(const ShapeRequest &request) {
  set_key(key_, request);
  valid_ = true;
}

void ShapeMemo::keep_long(hb_buffer_t *buffer) {
  long_valid_ = false;
  // A run cut short at HarfBuzz's length limit is no run to take pieces from;
  // nor, should HarfBuzz ever give one, a run whose clusters fall.
  if (!valid_ || !hb_buffer_allocation_successful(buffer) || !std::ranges::is_sorted(run_.clusters)) return;
  const std::size_t length = key_.text.size();
  long_breaks_.assign(length + 1, false);
  long_breaks_[0] = long_breaks_[length] = true;
  unsigned count = 0;
  const hb_glyph_info_t *infos = hb_buffer_get_glyph_infos(buffer, &count);
  // A break before a cluster is safe unless one of its glyphs says otherwise.
  for (const hb_glyph_info_t &info : std::span(infos, count))
    if (info.cluster < length) long_breaks_[info.cluster] = true;
  for (const hb_glyph_info_t &info : std::span(infos, count))
    if (info.cluster < length && (hb_glyph_info_get_glyph_flags(&info) & HB_GLYPH_FLAG_UNSAFE_TO_BREAK) != 0)
      long_breaks_[info.cluster] = false;
  std::swap(long_key_, key_);
  std::swap(long_run_, run_);
  valid_ = false;
  long_valid_ = true;
}

bool ShapeMemo::cut_from_long(const ShapeRequest &request) {
  if (!long_valid_ || request.text.empty() || request.direction != long_key_.direction ||
      request.script != long_key_.script || request.language != long_key_.language ||
      !same_features(request.features, long_key_.features))
    return false;
  // A feature list is the same for a piece only when it covers every item whole.
  for (const hb_feature_t &f : request.features)
    if (f.start != HB_FEATURE_GLOBAL_START || f.end != HB_FEATURE_GLOBAL_END) return false;
  const std::u16string_view whole = long_key_.text;
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(request.text.data());
  if (at < long_key_.origin || (at - long_key_.origin) % sizeof(char16_t) != 0) return false;
  const std::size_t start = (at - long_key_.origin) / sizeof(char16_t);
  if (start > whole.size() || request.text.size() > whole.size() - start) return false;
  const std::size_t end = start + request.text.size();
  if (!same_text(request.text, whole.substr(start, request.text.size()))) return false;
  // The text's edges are the run's only where the piece reaches them.
  constexpr unsigned kEdges = HB_BUFFER_FLAG_BOT | HB_BUFFER_FLAG_EOT;
  unsigned flags = long_key_.flags & ~kEdges;
  if (start == 0) flags |= long_key_.flags & HB_BUFFER_FLAG_BOT;
  if (end == whole.size()) flags |= long_key_.flags & HB_BUFFER_FLAG_EOT;
  if (request.flags != static_cast<hb_buffer_flags_t>(flags)) return false;
  const auto cut_here = [&](std::size_t cut) {
    return cut == 0 || cut == whole.size() || (long_breaks_[cut] && u_isUWhiteSpace(whole[cut - 1]));
  };
  if (!cut_here(start) || !cut_here(end)) return false;

  // Clusters never fall in logical order: the piece's glyphs are one stretch.
  const std::vector<std::uint32_t> &clusters = long_run_.clusters;
  const auto first = std::lower_bound(clusters.begin(), clusters.end(), static_cast<std::uint32_t>(start));
  const auto last = std::lower_bound(first, clusters.end(), static_cast<std::uint32_t>(end));
  const auto from = static_cast<std::size_t>(first - clusters.begin());
  const auto to = static_cast<std::size_t>(last - clusters.begin());
  valid_ = false;
  run_.glyphs.assign(long_run_.glyphs.begin() + from, long_run_.glyphs.begin() + to);
  const auto shifted = std::span(clusters).subspan(from, to - from) |
                       std::views::transform([start](std::uint32_t c) { return c - static_cast<std::uint32_t>(start); });
  run_.clusters.assign(shifted.begin(), shifted.end());
  run_.positions.assign(long_run_.positions.begin() + from, long_run_.positions.begin() + to);
  commit(request);
  return true;
}

}  // namespace vantor
