// The library's exports: the five Uniscribe OpenType entry points and the
// port's functions for font bytes and the trace.
#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <hb-ot.h>
#include <hb.h>
#include <unicode/uversion.h>

#include "breaks.h"
#include "abi/usp10.h"
#include "font_store.h"
#include "itemizer.h"
#include "outputs.h"
#include "scripts.h"
#include "script_cache.h"
#include "shaper.h"
#include "tags.h"
#include "trace.h"
#include "vantor.h"

#define VANTOR_EXPORT extern "C" __attribute__((visibility("default")))

namespace vantor {
namespace {

// The state shared by all callers: the font slot, the kept fonts and the
// trace. One lock guards it and every script cache, so that concurrent
// callers cannot corrupt it even though the module calls one at a time.
struct Backend {
  std::mutex lock;
  FontStore fonts;
  TraceRecorder trace;
};

Backend &backend() {
  static Backend instance;
  return instance;
}

// An item can have at most this many glyphs: log clusters are 16-bit.
constexpr std::size_t kMaxGlyphs = 65535;

// Runs an entry point's body, turning exceptions into HRESULTs: nothing may
// cross the C boundary.
template <class Body> HRESULT guarded(Body &&body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// Runs the body of an export that returns no HRESULT; a failure inside
// (the lock, memory) is dropped, as nothing may cross the C boundary.
template <class Body> void quietly(Body &&body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

// The cache's state, created with the current font on first use. With no
// device context, a cache without a font can only be served when font bytes
// have been set: E_PENDING otherwise, as Uniscribe answers when it needs a
// device context. The caller owns the new state through its SCRIPT_CACHE
// until ScriptFreeCache.
HRESULT open_cache(Backend &state, SCRIPT_CACHE *psc, ScriptCache **out) {
  if (*psc != nullptr) {
    *out = static_cast<ScriptCache *>(*psc);
    return S_OK;
  }
  if (!state.fonts.current()) return E_PENDING;
  auto cache = std::make_unique<ScriptCache>();
  cache->font = state.fonts.current();
  *out = cache.get();
  *psc = cache.release();
  return S_OK;
}

void fill_item(const ItemRun &run, const SCRIPT_STATE &state, WORD engine, SCRIPT_ITEM *item,
               OPENTYPE_TAG *tag) {
  *item = SCRIPT_ITEM{};
  item->iCharPos = run.start;
  item->a.eScript = static_cast<WORD>(run.neutral_only ? VANTOR_SCRIPT_NONE
                                                       : script_number(run.script));
  item->a.fRTL = run.level & 1U;
  item->a.fLayoutRTL = run.level & 1U;
  item->a.s = state;
  // uBidiLevel has 5 bits; deeper levels keep their parity.
  item->a.s.uBidiLevel = static_cast<WORD>(run.level <= 31 ? run.level : 30 + (run.level & 1U));
  item->a.s.fEngineReserved = engine & 3U;
  *tag = run.neutral_only ? 0 : preferred_script_tag(run.script);
}

// One item's shaping result with the cache and request it belongs to.
struct ItemShaping {
  ScriptCache *cache = nullptr;
  ShapeRequest request;
  const ShapedRun *run = nullptr;
  bool shaped_now = false;  // not recalled: the cache's buffer holds it
};

// Shapes the item, or finds the result the cache kept from its last call
// when that was for the same item: a retry of ScriptShapeOpenType with a
// larger buffer, and ScriptPlaceOpenType right after it, then cost no
// second shaping (see ShapeMemo for why the match is exact).
HRESULT shape_or_recall(Backend &state, const ItemArguments &args, SCRIPT_CACHE *psc,
                        ItemShaping *out) {
  if (const HRESULT hr = open_cache(state, psc, &out->cache); hr != S_OK) return hr;
  const FontFace &font = *out->cache->font;
  if (const HRESULT hr = make_request(font, args, &out->request); hr != S_OK) return hr;
  ShapeMemo &memo = out->cache->last_shape;
  out->run = memo.recall(out->request);
  if (out->run != nullptr) return S_OK;
  ScriptCache &cache = *out->cache;
  if (!cache.buffer) cache.buffer.reset(hb_buffer_create());
  ShapedRun &shaped = memo.begin_store();
  if (const HRESULT hr = shape(font, out->request, cache.buffer.get(), &shaped); hr != S_OK) return hr;
  memo.commit(out->request);
  out->run = memo.find(out->request);
  out->shaped_now = true;
  return S_OK;
}

HRESULT shape_item(const ItemArguments &args, SCRIPT_CACHE *psc, int cMaxGlyphs,
                   WORD *pwLogClust, SCRIPT_CHARPROP *pCharProps, WORD *pwOutGlyphs,
                   SCRIPT_GLYPHPROP *pOutGlyphProps, int *pcGlyphs) {
  Backend &state = backend();
  const std::lock_guard<std::mutex> hold(state.lock);
  ItemShaping item;
  if (const HRESULT hr = shape_or_recall(state, args, psc, &item); hr != S_OK) return hr;
  const std::size_t count = item.run->glyphs.size();
  if (count > kMaxGlyphs || count > static_cast<std::size_t>(cMaxGlyphs)) {
    // The size the item needs, for a caller that reads it; the run stays in
    // the cache, so a retry with a larger buffer costs no second shaping,
    // and one too long for any buffer serves the pieces it is cut into.
    *pcGlyphs = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
    if (count > kMaxGlyphs && item.shaped_now) item.cache->last_shape.keep_long(item.cache->buffer.get());
    return E_OUTOFMEMORY;
  }

  const FontFace &font = *item.cache->font;
  const GlyphOrder order{args.analysis->fRTL && !args.analysis->fLogicalOrder};
  write_shape_outputs(font, *item.run, item.request.text, item.request.script, order, pwLogClust, pCharProps,
                      pwOutGlyphs, pOutGlyphProps);
  *pcGlyphs = static_cast<int>(count);

  if (state.trace.recording()) {
    try {
      ItemTrace traced = trace_lookups(font, item.request, *item.run);
      if (traced.refusal.empty()) {
        state.trace.append(std::move(traced.stages));
      } else {
        state.trace.refuse(std::move(traced.refusal));
      }
    } catch (const std::bad_alloc &) {
      // The trace is a diagnostic: running out of memory for it leaves the
      // shaping result as it is, and the item untraced.
      state.trace.refuse_out_of_memory();
    }
  }
  return S_OK;
}

HRESULT place_item(const ItemArguments &args, SCRIPT_CACHE *psc, const WORD *pwGlyphs,
                   int cGlyphs, int *piAdvance, GOFFSET *pGoffset, ABC *pABC) {
  Backend &state = backend();
  const std::lock_guard<std::mutex> hold(state.lock);
  ItemShaping item;
  if (const HRESULT hr = shape_or_recall(state, args, psc, &item); hr != S_OK) return hr;
  const GlyphOrder order{args.analysis->fRTL && !args.analysis->fLogicalOrder};
  if (holds_glyphs(*item.run, order, pwGlyphs, cGlyphs)) {
    write_positions(*item.cache->font, *item.run, args.analysis->fRTL, order, piAdvance, pGoffset, pABC);
  } else {
    // The caller's array runs left to right unless it is a right-to-left
    // item's in logical order.
    const bool left_to_right = !args.analysis->fRTL || order.reversed;
    write_nominal_positions(*item.cache->font, pwGlyphs, cGlyphs, left_to_right, piAdvance, pGoffset, pABC);
  }
  return S_OK;
}

}  // namespace
}  // namespace vantor

using namespace vantor;

VANTOR_EXPORT HRESULT ScriptItemizeOpenType(const WCHAR *pwcInChars, int cInChars, int cMaxItems,
                                            const SCRIPT_CONTROL *psControl,
                                            const SCRIPT_STATE *psState, SCRIPT_ITEM *pItems,
                                            OPENTYPE_TAG *pScriptTags, int *pcItems) {
  (void)psControl;  // no SCRIPT_CONTROL flag changes how this backend itemizes
  if (pwcInChars == nullptr || pItems == nullptr || pScriptTags == nullptr || cInChars <= 0 ||
      cMaxItems < 2) {
    return E_INVALIDARG;
  }
  return guarded([&] {
    const SCRIPT_STATE state = psState != nullptr ? *psState : SCRIPT_STATE{};
    ItemizeOptions options;
    options.base_level = state.uBidiLevel;
    options.override_direction = state.fOverrideDirection;
    const auto runs =
        itemize(std::u16string_view(pwcInChars, static_cast<std::size_t>(cInChars)), options);
    if (runs.size() > static_cast<std::size_t>(cMaxItems)) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const WORD engine = engine_bits(i == 0, i + 1 == runs.size());
      fill_item(runs[i], state, engine, &pItems[i], &pScriptTags[i]);
    }
    // The closing entry marks the end of the last item.
    pItems[runs.size()] = SCRIPT_ITEM{};
    pItems[runs.size()].iCharPos = cInChars;
    if (pcItems != nullptr) *pcItems = static_cast<int>(runs.size());
    return S_OK;
  });
}

VANTOR_EXPORT HRESULT ScriptGetFontScriptTags(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                              int cMaxTags, OPENTYPE_TAG *pScriptTags,
                                              int *pcTags) {
  (void)hdc;  // the font comes from usp_set_font_bytes
  if (psc == nullptr || psa == nullptr || pScriptTags == nullptr || pcTags == nullptr ||
      cMaxTags <= 0) {
    return E_INVALIDARG;
  }
  return guarded([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    ScriptCache *cache = nullptr;
    if (const HRESULT hr = open_cache(state, psc, &cache); hr != S_OK) return hr;
    *pcTags = 0;
    const ScriptTags tags = cache->font->script_tags_for(script_from_number(psa->eScript));
    const auto found = static_cast<int>(tags.size());
    if (found == 0) return USP_E_SCRIPT_NOT_IN_FONT;
    if (found > cMaxTags) return E_OUTOFMEMORY;
    for (int i = 0; i < found; ++i) {
      pScriptTags[i] = opentype_from_hb_tag(tags[static_cast<std::size_t>(i)]);
    }
    *pcTags = found;
    return S_OK;
  });
}

VANTOR_EXPORT HRESULT ScriptShapeOpenType(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                          OPENTYPE_TAG tagScript, OPENTYPE_TAG tagLangSys,
                                          int *rcRangeChars,
                                          TEXTRANGE_PROPERTIES **rpRangeProperties, int cRanges,
                                          const WCHAR *pwcChars, int cChars, int cMaxGlyphs,
                                          WORD *pwLogClust, SCRIPT_CHARPROP *pCharProps,
                                          WORD *pwOutGlyphs, SCRIPT_GLYPHPROP *pOutGlyphProps,
                                          int *pcGlyphs) {
  (void)hdc;
  if (psc == nullptr || psa == nullptr || pwcChars == nullptr || cChars <= 0 ||
      cMaxGlyphs < 0 || pwLogClust == nullptr || pwOutGlyphs == nullptr ||
      pOutGlyphProps == nullptr || pcGlyphs == nullptr) {
    return E_INVALIDARG;
  }
  const ItemArguments args{psa,          tagScript, tagLangSys, rcRangeChars, rpRangeProperties,
                           cRanges,      pwcChars,  cChars};
  return guarded([&] {
    return shape_item(args, psc, cMaxGlyphs, pwLogClust, pCharProps, pwOutGlyphs,
                      pOutGlyphProps, pcGlyphs);
  });
}

VANTOR_EXPORT HRESULT ScriptPlaceOpenType(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                          OPENTYPE_TAG tagScript, OPENTYPE_TAG tagLangSys,
                                          int *rcRangeChars,
                                          TEXTRANGE_PROPERTIES **rpRangeProperties, int cRanges,
                                          const WCHAR *pwcChars, WORD *pwLogClust,
                                          SCRIPT_CHARPROP *pCharProps, int cChars,
                                          const WORD *pwGlyphs,
                                          const SCRIPT_GLYPHPROP *pGlyphProps, int cGlyphs,
                                          int *piAdvance, GOFFSET *pGoffset, ABC *pABC) {
  (void)hdc;
  (void)pwLogClust;   // positions follow from the text and the glyphs alone
  (void)pCharProps;
  (void)pGlyphProps;
  if (psc == nullptr || psa == nullptr || pwcChars == nullptr || cChars <= 0 || cGlyphs < 0 ||
      (cGlyphs > 0 && (pwGlyphs == nullptr || piAdvance == nullptr || pGoffset == nullptr))) {
    return E_INVALIDARG;
  }
  const ItemArguments args{psa,          tagScript, tagLangSys, rcRangeChars, rpRangeProperties,
                           cRanges,      pwcChars,  cChars};
  return guarded(
      [&] { return place_item(args, psc, pwGlyphs, cGlyphs, piAdvance, pGoffset, pABC); });
}

VANTOR_EXPORT HRESULT ScriptBreak(const WCHAR *pwcChars, int cChars, const SCRIPT_ANALYSIS *psa,
                                  SCRIPT_LOGATTR *psla) {
  (void)psa;  // the rules are the same for every script
  if (pwcChars == nullptr || cChars <= 0 || psla == nullptr) return E_INVALIDARG;
  return guarded([&] {
    const auto n = static_cast<std::size_t>(cChars);
    return find_breaks(std::u16string_view(pwcChars, n), std::span<SCRIPT_LOGATTR>(psla, n)) ? S_OK : E_FAIL;
  });
}

VANTOR_EXPORT HRESULT ScriptFreeCache(SCRIPT_CACHE *psc) {
  if (psc == nullptr || *psc == nullptr) return S_OK;
  return guarded([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    delete static_cast<ScriptCache *>(*psc);
    *psc = nullptr;
    return S_OK;
  });
}

VANTOR_EXPORT int usp_set_font_bytes(const std::uint8_t *bytes, std::size_t length) {
  int code = VANTOR_FONT_NO_MEMORY;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    code = state.fonts.set_current(std::span<const std::uint8_t>(bytes, bytes ? length : 0));
  });
  return code;
}

VANTOR_EXPORT std::uint32_t usp_capabilities() {
  return VANTOR_APPLIES_FEATURES | VANTOR_APPLIES_SCRIPT | VANTOR_APPLIES_LANGUAGE |
         VANTOR_APPLIES_VARIATIONS;
}

VANTOR_EXPORT int usp_set_variations(const std::int32_t *tags_and_values, int count) {
  if (count < 0 || count > VANTOR_MAX_VARIATIONS || (count > 0 && tags_and_values == nullptr))
    return VANTOR_LOCATION_BAD_ARGUMENTS;
  int code = VANTOR_LOCATION_NO_MEMORY;
  quietly([&] {
    std::vector<hb_variation_t> location(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < location.size(); ++i) {
      location[i].tag = hb_tag_from_opentype(static_cast<OPENTYPE_TAG>(tags_and_values[2 * i]));
      location[i].value = static_cast<float>(tags_and_values[2 * i + 1]) / 65536.0f;
    }
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    if (state.fonts.set_location(std::move(location))) code = VANTOR_LOCATION_OK;
  });
  return code;
}

VANTOR_EXPORT int usp_language_tags(const char *bcp47, OPENTYPE_TAG *tags, int capacity) {
  if (bcp47 == nullptr || *bcp47 == '\0' || capacity < 0 || (capacity > 0 && tags == nullptr)) return -1;
  hb_language_t language = hb_language_from_string(bcp47, -1);
  if (language == HB_LANGUAGE_INVALID) return -1;
  std::array<hb_tag_t, HB_OT_MAX_TAGS_PER_LANGUAGE> found{};
  unsigned count = static_cast<unsigned>(found.size());
  hb_ot_tags_from_script_and_language(HB_SCRIPT_UNKNOWN, language, nullptr, nullptr, &count, found.data());
  for (unsigned i = 0; i < count && static_cast<int>(i) < capacity; ++i) tags[i] = opentype_from_hb_tag(found[i]);
  return static_cast<int>(count);
}

VANTOR_EXPORT int usp_variation_coords(std::int32_t *design, std::int32_t *normalized, int capacity) {
  int axes = -1;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    const std::shared_ptr<const FontFace> &font = state.fonts.current();
    if (!font) return;
    const std::vector<AxisCoords> coords = axis_coords(*font);
    axes = static_cast<int>(coords.size());
    for (std::size_t i = 0; i < coords.size() && static_cast<int>(i) < capacity; ++i) {
      if (design != nullptr) design[i] = coords[i].design;
      if (normalized != nullptr) normalized[i] = coords[i].normalized;
    }
  });
  return axes;
}

VANTOR_EXPORT const char *usp_backend_version() {
  // The libraries actually loaded, as they report themselves: what the
  // glyphs and traces depend on, whatever the headers compiled against said.
  static const std::array<char, 128> version = [] {
    std::array<char, 128> text{};
    UVersionInfo icu{};
    u_getVersion(icu);
    char icu_text[U_MAX_VERSION_STRING_LENGTH] = {};
    u_versionToString(icu, icu_text);
    std::snprintf(text.data(), text.size(), "HarfBuzz %s, ICU %s", hb_version_string(), icu_text);
    return text;
  }();
  return version.data();
}

VANTOR_EXPORT void usp_clear_font_bytes() {
  quietly([] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    state.fonts.clear_current();
  });
}

VANTOR_EXPORT void usp_trace_begin() {
  quietly([] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    state.trace.begin();
  });
}

VANTOR_EXPORT int usp_trace_count() {
  int count = 0;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    count = state.trace.count();
  });
  return count;
}

// Result: 0 when the stage is delivered, 1 for an index out of range. The
// stage is rebuilt whole only when its glyphs are asked for.
VANTOR_EXPORT int usp_trace_stage(int index, char *name, int name_capacity, int *glyph_count,
                                  const std::uint16_t **glyphs) {
  int result = 1;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    const TraceStage *stage = state.trace.stage(index);
    if (stage == nullptr) return;
    if (name != nullptr && name_capacity > 0) {
      const std::size_t length =
          std::min(stage->name.size(), static_cast<std::size_t>(name_capacity) - 1);
      std::memcpy(name, stage->name.data(), length);
      name[length] = '\0';
    }
    if (glyph_count != nullptr || glyphs != nullptr) {
      const TraceRecorder::WholeStage *whole = state.trace.whole(index);
      if (glyph_count != nullptr) *glyph_count = static_cast<int>(whole->ids.size());
      if (glyphs != nullptr) *glyphs = whole->ids.data();
    }
    result = 0;
  });
  return result;
}

// Result: 0 when the stage is delivered, 1 for an index out of range or a
// null record.
VANTOR_EXPORT int usp_trace_stage_glyphs(int index, USP_TRACE_STAGE_GLYPHS *out) {
  int result = 1;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    if (out == nullptr) return;
    const TraceRecorder::WholeStage *whole = state.trace.whole(index);
    if (whole == nullptr) return;
    *out = USP_TRACE_STAGE_GLYPHS{state.trace.stage(index)->kind, static_cast<int>(whole->glyphs.size()),
                                  whole->glyphs.data()};
    result = 0;
  });
  return result;
}

// Result: 0 when the stage is delivered, 1 for an index out of range or a
// null record.
VANTOR_EXPORT int usp_trace_stage_change(int index, USP_TRACE_STAGE_CHANGE *out) {
  int result = 1;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    const TraceStage *stage = state.trace.stage(index);
    if (stage == nullptr || out == nullptr) return;
    *out = USP_TRACE_STAGE_CHANGE{stage->kind,
                                  static_cast<int>(stage->count),
                                  stage->first ? 1 : 0,
                                  static_cast<int>(stage->start),
                                  static_cast<int>(stage->stop),
                                  static_cast<int>(stage->glyphs.size()),
                                  stage->glyphs.data(),
                                  stage->name.c_str()};
    result = 0;
  });
  return result;
}

// Result: the number of lookups the stage's lookup called, -1 for an index
// out of range.
VANTOR_EXPORT int usp_trace_stage_nested(int index, const std::uint16_t **lookups) {
  int result = -1;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    const TraceStage *stage = state.trace.stage(index);
    if (stage == nullptr) return;
    if (lookups != nullptr) *lookups = stage->nested.data();
    result = static_cast<int>(stage->nested.size());
  });
  return result;
}

// Result: the length of the reason why the backend did not trace the last
// item shaped since usp_trace_begin, 0 when it traced it. The reason is
// copied into message, cut to message_capacity - 1 bytes and ended by NUL.
VANTOR_EXPORT int usp_trace_refusal(char *message, int message_capacity) {
  int length = 0;
  quietly([&] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    const std::string_view reason = state.trace.refusal();
    length = static_cast<int>(std::min<std::size_t>(reason.size(), INT_MAX));
    if (message == nullptr || message_capacity <= 0) return;
    const std::size_t copied =
        std::min(reason.size(), static_cast<std::size_t>(message_capacity) - 1);
    std::memcpy(message, reason.data(), copied);
    message[copied] = '\0';
  });
  return length;
}

VANTOR_EXPORT void usp_trace_stop() {
  quietly([] {
    Backend &state = backend();
    const std::lock_guard<std::mutex> hold(state.lock);
    state.trace.stop();
  });
}

// The exports must have exactly the types the module resolves them as.
static_assert(std::is_same_v<decltype(ScriptItemizeOpenType), ScriptItemizeOpenTypeFn>);
static_assert(std::is_same_v<decltype(ScriptShapeOpenType), ScriptShapeOpenTypeFn>);
static_assert(std::is_same_v<decltype(ScriptPlaceOpenType), ScriptPlaceOpenTypeFn>);
static_assert(std::is_same_v<decltype(ScriptFreeCache), ScriptFreeCacheFn>);
static_assert(std::is_same_v<decltype(ScriptGetFontScriptTags), ScriptGetFontScriptTagsFn>);
static_assert(std::is_same_v<decltype(usp_set_font_bytes), usp_set_font_bytes_fn>);
static_assert(std::is_same_v<decltype(usp_clear_font_bytes), usp_clear_font_bytes_fn>);
static_assert(std::is_same_v<decltype(usp_capabilities), usp_capabilities_fn>);
static_assert(std::is_same_v<decltype(usp_set_variations), usp_set_variations_fn>);
static_assert(std::is_same_v<decltype(usp_language_tags), usp_language_tags_fn>);
static_assert(std::is_same_v<decltype(usp_variation_coords), usp_variation_coords_fn>);
static_assert(std::is_same_v<decltype(usp_backend_version), usp_backend_version_fn>);
static_assert(VANTOR_APPLIES_FEATURES == kUspAppliesFeatures && VANTOR_APPLIES_SCRIPT == kUspAppliesScript &&
              VANTOR_APPLIES_LANGUAGE == kUspAppliesLanguage && VANTOR_APPLIES_VARIATIONS == kUspAppliesVariations);
static_assert(std::is_same_v<decltype(usp_trace_begin), usp_trace_begin_fn>);
static_assert(std::is_same_v<decltype(usp_trace_count), usp_trace_count_fn>);
static_assert(std::is_same_v<decltype(usp_trace_stage), usp_trace_stage_fn>);
static_assert(std::is_same_v<decltype(usp_trace_stop), usp_trace_stop_fn>);
static_assert(std::is_same_v<decltype(usp_trace_stage_glyphs), usp_trace_stage_glyphs_fn>);
static_assert(std::is_same_v<decltype(usp_trace_stage_change), usp_trace_stage_change_fn>);
static_assert(std::is_same_v<decltype(usp_trace_refusal), usp_trace_refusal_fn>);
static_assert(std::is_same_v<decltype(usp_trace_stage_nested), usp_trace_stage_nested_fn>);
