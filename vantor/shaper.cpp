// Shaping one item with HarfBuzz: its script, language and features from the
// Uniscribe arguments, the buffer, and the shaped run.
#include "shaper.h"

#include <hb-ot.h>

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

const ShapedRun *ShapeMemo::find(const ShapeRequest &request) const {
  if (!valid_ || request.direction != direction_ || request.script != script_ ||
      request.language != language_ || request.flags != flags_ || !same_text(request.text, text_) ||
      !same_features(request.features, features_)) {
    return nullptr;
  }
  return &run_;
}

ShapedRun &ShapeMemo::begin_store() {
  valid_ = false;
  return run_;
}

void ShapeMemo::commit(const ShapeRequest &request) {
  text_.assign(request.text);
  direction_ = request.direction;
  script_ = request.script;
  language_ = request.language;
  flags_ = request.flags;
  features_ = request.features;
  valid_ = true;
}

}  // namespace vantor
