// A scriptable stand-in for a Uniscribe OpenType backend, loaded by the module in the
// Python tests. Its sources build several libraries (CMakeLists.txt); the exports of a
// library are chosen by compile definitions, and absent ones are truly absent:
//   FAKE_ENTRY_POINTS  ScriptShapeOpenType, ScriptPlaceOpenType, ScriptFreeCache,
//                      ScriptGetFontScriptTags (ScriptItemizeOpenType is always there);
//                      FAKE_NO_PLACE, FAKE_NO_FREE, FAKE_NO_TAGS leave one of them out
//   FAKE_FONT_BYTES    usp_set_font_bytes, usp_clear_font_bytes
//   FAKE_TRACE_BEGIN   usp_trace_begin
//   FAKE_TRACE_READ    usp_trace_count, usp_trace_stage, usp_trace_stop
//   FAKE_UNRESOLVED    references a function that no library defines (dlopen with
//                      RTLD_NOW fails, RTLD_LAZY succeeds)
//
// Control functions for the tests, and the script that configures the fake, are in
// fake_script.cpp; both files build into every library.
//
// Script cache: an entry point that gets a null *psc allocates one (a real backend keeps
// its font state there); ScriptFreeCache frees it and sets *psc to null.
//
// Log lines: the call and key=value words; words after "->" are results. k is the item as
// "at" counts it; sc the serial number of the script cache on entry (0 = null); a= the
// SCRIPT_ANALYSIS as 32 bits; off is pwcChars minus the text of the last
// ScriptItemizeOpenType (-1 when unknown); zero=1: the output buffer was zeroed on entry.
//   itemize n= max= ctl= st= pc= items=0|1 tags=0|1 -> hr= count=
//   tags k= hdc=0|1 sc= a= max= pc= zero=0|1 -> hr= count= first=
//   shape k= attempt= hdc= sc= a= script= lang= RANGES off= n= max= pc= -> hr= count= font=
//   place k= hdc= sc= a= script= lang= RANGES off= n= cg= abc=null|set g=.. clust=.. -> hr=
//     RANGES = ranges= rc=null|set rp=null|set rlen=.. feats=..  (feats: tag:value pairs,
//     ranges separated by '/'; "-" when there are none)
//   free sc=            clearfont            setfont len= head= -> rc=
//   tbegin    tcount -> n=    tstage i= cap= zero=0|1 -> rc=    tstop
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_usp.h"

namespace fake_usp {

std::mutex g_mu;
Config g_cfg;
std::string g_error;
std::string g_log;
std::string g_log_copy;
const std::uint8_t *g_font = nullptr;
std::size_t g_font_len = 0;
int g_live_caches = 0;
int g_cache_serial = 0;
bool g_recording = false;
std::vector<StageRule> g_recorded;

thread_local const WCHAR *t_text = nullptr;
thread_local int t_text_len = 0;
thread_local int t_item = -1;

}  // namespace fake_usp

using namespace fake_usp;

namespace {

struct Cache {
  int serial;
};

// Per request thread: the ScriptShapeOpenType calls for the item being worked on.
[[maybe_unused]] thread_local int t_shape_calls = 0;

template <class T> const T *pick(const std::vector<T> &rules, int item) {
  const T *any = nullptr;
  for (const T &s : rules) {
    if (s.at == item) return &s;
    if (s.at == -1 && any == nullptr) any = &s;
  }
  return any;
}

std::string hex(unsigned long long v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*llx", width, v);
  return buf;
}

template <class T> std::uint32_t bits(const T &record) {
  std::uint32_t v = 0;
  std::memcpy(&v, &record, sizeof record);
  return v;
}

[[maybe_unused]] int cache_serial(const SCRIPT_CACHE *psc) {
  if (psc == nullptr || *psc == nullptr) return 0;
  return static_cast<const Cache *>(*psc)->serial;
}

// Allocates the request's cache on first use, as a real backend keeps its font state there.
[[maybe_unused]] void touch_cache(SCRIPT_CACHE *psc) {
  if (psc != nullptr && *psc == nullptr) {
    *psc = new Cache{++g_cache_serial};
    ++g_live_caches;
  }
}

template <class T> std::string join(const T *values, long long n, long long cap = 64) {
  if (values == nullptr) return "null";
  std::string s;
  for (long long i = 0; i < n && i < cap; ++i) {
    if (i) s += ',';
    s += std::to_string(static_cast<long long>(values[i]));
  }
  if (n > cap) s += ",...";
  return s;
}

[[maybe_unused]] std::string ranges_words(int *rcRangeChars, TEXTRANGE_PROPERTIES **rp, int cRanges) {
  std::string s = "ranges=" + std::to_string(cRanges);
  s += rcRangeChars ? " rc=set" : " rc=null";
  s += rp ? " rp=set" : " rp=null";
  std::string lens, feats;
  for (int r = 0; r < cRanges && rcRangeChars && rp; ++r) {
    if (r) {
      lens += ',';
      feats += '/';
    }
    lens += std::to_string(rcRangeChars[r]);
    const TEXTRANGE_PROPERTIES *p = rp[r];
    for (int f = 0; p && p->potfRecords && f < p->cotfRecords; ++f) {
      if (f) feats += ',';
      feats += hex(p->potfRecords[f].tagFeature, 8) + ":" +
               std::to_string(p->potfRecords[f].lParameter);
    }
  }
  s += " rlen=" + (lens.empty() ? std::string("-") : lens);
  s += " feats=" + (feats.empty() ? std::string("-") : feats);
  return s;
}

[[maybe_unused]] long long text_offset(const WCHAR *p) {
  if (p == nullptr || t_text == nullptr || p < t_text || p > t_text + t_text_len) return -1;
  return p - t_text;
}

void log_line(const std::string &line) { g_log += line + "\n"; }

[[maybe_unused]] void record_stages(int item, bool success) {
  if (!g_recording) return;
  if (!success) {
    StageRule s;
    s.name = "discarded";
    s.glyphs = {65535};
    g_recorded.push_back(s);
    return;
  }
  bool own = std::any_of(g_cfg.stages.begin(), g_cfg.stages.end(),
                         [&](const StageRule &s) { return s.at == item; });
  for (const StageRule &s : g_cfg.stages)
    if (s.at == (own ? item : -1)) g_recorded.push_back(s);
}

}  // namespace

// ---- Uniscribe entry points ----

extern "C" {
ScriptItemizeOpenTypeFn ScriptItemizeOpenType;
}

FAKE_EXPORT HRESULT ScriptItemizeOpenType(const WCHAR *pwcInChars, int cInChars, int cMaxItems,
                                          const SCRIPT_CONTROL *psControl,
                                          const SCRIPT_STATE *psState, SCRIPT_ITEM *pItems,
                                          OPENTYPE_TAG *pScriptTags, int *pcItems) {
  std::lock_guard<std::mutex> lock(g_mu);
  t_text = pwcInChars;
  t_text_len = cInChars;
  t_item = -1;
  std::string line = "itemize n=" + std::to_string(cInChars) +
                     " max=" + std::to_string(cMaxItems) +
                     " ctl=" + (psControl ? hex(bits(*psControl), 8) : "null") +
                     " st=" + (psState ? hex(bits(*psState), 4) : "null") +
                     " pc=" + (pcItems ? std::to_string(*pcItems) : "null") +
                     " items=" + (pItems ? "1" : "0") + " tags=" + (pScriptTags ? "1" : "0");
  auto done = [&](HRESULT hr, int count) {
    log_line(line + " -> hr=" + hex(static_cast<std::uint32_t>(hr), 8) +
             " count=" + std::to_string(count));
    return hr;
  };
  if (pwcInChars == nullptr || cInChars <= 0 || cMaxItems < 2 || pItems == nullptr ||
      pcItems == nullptr)
    return done(E_INVALIDARG, 0);

  std::vector<ItemRule> items = g_cfg.items;
  if (items.empty()) items.push_back(ItemRule{});
  if (!g_cfg.itemize_count && static_cast<int>(items.size()) > cMaxItems)
    return done(E_OUTOFMEMORY, 0);
  int base_level = psState ? psState->uBidiLevel : 0;
  int entries = std::min(static_cast<int>(items.size()) + 1, cMaxItems + 1);
  for (int i = 0; i < entries; ++i) {
    SCRIPT_ITEM item{};
    if (i == static_cast<int>(items.size())) {
      item.iCharPos = g_cfg.close.value_or(cInChars);
    } else {
      const ItemRule &s = items[static_cast<std::size_t>(i)];
      int level = s.level.value_or(base_level);
      item.iCharPos = s.pos;
      item.a.eScript = static_cast<WORD>(s.script & 0x3FF);
      item.a.fRTL = static_cast<WORD>(s.rtl.value_or(level & 1) & 1);
      if (psState) item.a.s = *psState;
      item.a.s.uBidiLevel = static_cast<WORD>(level & 31);
      if (pScriptTags) pScriptTags[i] = s.tag;
    }
    pItems[i] = item;
  }
  int count = g_cfg.itemize_count.value_or(static_cast<int>(items.size()));
  *pcItems = count;
  return done(g_cfg.itemize_hr, count);
}

#if defined(FAKE_UNRESOLVED)
extern "C" int fake_function_that_no_library_defines(void);
FAKE_EXPORT int fake_unresolved_use(void) { return fake_function_that_no_library_defines(); }
#endif

#if defined(FAKE_ENTRY_POINTS)
extern "C" {
ScriptShapeOpenTypeFn ScriptShapeOpenType;
ScriptPlaceOpenTypeFn ScriptPlaceOpenType;
ScriptFreeCacheFn ScriptFreeCache;
ScriptGetFontScriptTagsFn ScriptGetFontScriptTags;
}
#endif

#if defined(FAKE_ENTRY_POINTS) && !defined(FAKE_NO_TAGS)
FAKE_EXPORT HRESULT ScriptGetFontScriptTags(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                            int cMaxTags, OPENTYPE_TAG *pScriptTags,
                                            int *pcTags) {
  std::lock_guard<std::mutex> lock(g_mu);
  int k = ++t_item;
  t_shape_calls = 0;
  bool zero = pScriptTags != nullptr;
  for (int i = 0; zero && i < cMaxTags; ++i) zero = pScriptTags[i] == 0;
  std::string line = "tags k=" + std::to_string(k) + " hdc=" + (hdc ? "1" : "0") +
                     " sc=" + std::to_string(cache_serial(psc)) +
                     " a=" + (psa ? hex(bits(*psa), 8) : "null") +
                     " max=" + std::to_string(cMaxTags) +
                     " pc=" + (pcTags ? std::to_string(*pcTags) : "null") +
                     " zero=" + (zero ? "1" : "0");
  touch_cache(psc);
  TagsRule rule;
  if (const TagsRule *p = pick(g_cfg.tags, k)) rule = *p;
  HRESULT hr = rule.hr;
  int count = rule.count.value_or(static_cast<int>(rule.list.size()));
  if (psa == nullptr || pScriptTags == nullptr || pcTags == nullptr || cMaxTags <= 0) {
    hr = E_INVALIDARG;
  } else if (static_cast<int>(rule.list.size()) > cMaxTags) {
    if (hr == S_OK) hr = E_OUTOFMEMORY;
  } else {
    std::copy(rule.list.begin(), rule.list.end(), pScriptTags);
    *pcTags = count;
  }
  log_line(line + " -> hr=" + hex(static_cast<std::uint32_t>(hr), 8) +
           " count=" + std::to_string(count) +
           " first=" + hex(rule.list.empty() ? 0 : rule.list[0], 8));
  return hr;
}
#endif

#if defined(FAKE_ENTRY_POINTS)
FAKE_EXPORT HRESULT ScriptShapeOpenType(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                        OPENTYPE_TAG tagScript, OPENTYPE_TAG tagLangSys,
                                        int *rcRangeChars,
                                        TEXTRANGE_PROPERTIES **rpRangeProperties, int cRanges,
                                        const WCHAR *pwcChars, int cChars, int cMaxGlyphs,
                                        WORD *pwLogClust, SCRIPT_CHARPROP *pCharProps,
                                        WORD *pwOutGlyphs, SCRIPT_GLYPHPROP *pOutGlyphProps,
                                        int *pcGlyphs) {
  std::unique_lock<std::mutex> lock(g_mu);
  int k = t_item;
  int call = t_shape_calls++;
  std::string line = "shape k=" + std::to_string(k) + " attempt=" + std::to_string(call) +
                     " hdc=" + (hdc ? "1" : "0") + " sc=" + std::to_string(cache_serial(psc)) +
                     " a=" + (psa ? hex(bits(*psa), 8) : "null") +
                     " script=" + hex(tagScript, 8) + " lang=" + hex(tagLangSys, 8) + " " +
                     ranges_words(rcRangeChars, rpRangeProperties, cRanges) +
                     " off=" + std::to_string(text_offset(pwcChars)) +
                     " n=" + std::to_string(cChars) + " max=" + std::to_string(cMaxGlyphs) +
                     " pc=" + (pcGlyphs ? std::to_string(*pcGlyphs) : "null");
  touch_cache(psc);
  ShapeRule rule;
  if (const ShapeRule *p = pick(g_cfg.shape, k)) rule = *p;
  int sleep_ms = g_cfg.sleep_ms;
  if (sleep_ms > 0) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    lock.lock();
  }
  unsigned font = g_font != nullptr && g_font_len > 0 ? g_font[0] : 0;
  auto done = [&](HRESULT hr, long long count) {
    record_stages(k, hr == S_OK);
    log_line(line + " -> hr=" + hex(static_cast<std::uint32_t>(hr), 8) +
             " count=" + std::to_string(count) + " font=" + hex(font, 2));
    return hr;
  };
  if (psa == nullptr || pwcChars == nullptr || cChars <= 0 || cMaxGlyphs <= 0 ||
      pwLogClust == nullptr || pCharProps == nullptr || pwOutGlyphs == nullptr ||
      pOutGlyphProps == nullptr || pcGlyphs == nullptr)
    return done(E_INVALIDARG, 0);

  HRESULT hr = S_OK;
  if (static_cast<std::size_t>(call) < rule.hrseq.size())
    hr = rule.hrseq[static_cast<std::size_t>(call)];
  else if (rule.hr)
    hr = *rule.hr;
  if (hr == S_OK && cMaxGlyphs < rule.need) hr = E_OUTOFMEMORY;

  std::vector<long long> glyphs;
  if (rule.glyphs) {
    glyphs = *rule.glyphs;
  } else {
    for (int c = 0; c < cChars; ++c) glyphs.push_back((pwcChars[c] + font) & 0xFFFF);
  }
  long long ng = static_cast<long long>(glyphs.size());
  if (hr == S_OK && ng > cMaxGlyphs) hr = E_OUTOFMEMORY;
  if (hr != S_OK) return done(hr, 0);

  std::vector<long long> clust(static_cast<std::size_t>(cChars));
  for (int c = 0; c < cChars; ++c) {
    if (rule.clust.empty())
      clust[static_cast<std::size_t>(c)] = std::min<long long>(c, std::max<long long>(ng - 1, 0));
    else
      clust[static_cast<std::size_t>(c)] =
          rule.clust[std::min<std::size_t>(static_cast<std::size_t>(c), rule.clust.size() - 1)];
  }
  if (psa->fRTL && !psa->fLogicalOrder) {
    std::reverse(glyphs.begin(), glyphs.end());
    for (long long &c : clust)
      if (c >= 0 && c < ng) c = ng - 1 - c;
  }
  for (long long g = 0; g < ng && g < cMaxGlyphs; ++g)
    pwOutGlyphs[g] = static_cast<WORD>(glyphs[static_cast<std::size_t>(g)]);
  for (int c = 0; c < cChars; ++c)
    pwLogClust[c] = static_cast<WORD>(clust[static_cast<std::size_t>(c)]);
  for (std::size_t g = 0; g < rule.vis.size() && g < static_cast<std::size_t>(std::min<long long>(ng, cMaxGlyphs)); ++g) {
    const auto bits = static_cast<WORD>(rule.vis[g]);
    std::memcpy(&pOutGlyphProps[g].sva, &bits, sizeof bits);
  }
  for (std::size_t c = 0; c < rule.chars.size() && c < static_cast<std::size_t>(cChars); ++c) {
    const auto bits = static_cast<WORD>(rule.chars[c]);
    std::memcpy(&pCharProps[c], &bits, sizeof bits);
  }
  int count = rule.count.value_or(static_cast<int>(ng));
  *pcGlyphs = count;
  return done(S_OK, count);
}
#endif

#if defined(FAKE_ENTRY_POINTS) && !defined(FAKE_NO_PLACE)
FAKE_EXPORT HRESULT ScriptPlaceOpenType(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                        OPENTYPE_TAG tagScript, OPENTYPE_TAG tagLangSys,
                                        int *rcRangeChars,
                                        TEXTRANGE_PROPERTIES **rpRangeProperties, int cRanges,
                                        const WCHAR *pwcChars, WORD *pwLogClust,
                                        SCRIPT_CHARPROP *pCharProps, int cChars,
                                        const WORD *pwGlyphs,
                                        const SCRIPT_GLYPHPROP *pGlyphProps, int cGlyphs,
                                        int *piAdvance, GOFFSET *pGoffset, ABC *pABC) {
  std::lock_guard<std::mutex> lock(g_mu);
  int k = t_item;
  std::string line = "place k=" + std::to_string(k) + " hdc=" + (hdc ? "1" : "0") +
                     " sc=" + std::to_string(cache_serial(psc)) +
                     " a=" + (psa ? hex(bits(*psa), 8) : "null") +
                     " script=" + hex(tagScript, 8) + " lang=" + hex(tagLangSys, 8) + " " +
                     ranges_words(rcRangeChars, rpRangeProperties, cRanges) +
                     " off=" + std::to_string(text_offset(pwcChars)) +
                     " n=" + std::to_string(cChars) + " cg=" + std::to_string(cGlyphs) +
                     " abc=" + (pABC ? "set" : "null") + " g=" + join(pwGlyphs, cGlyphs) +
                     " clust=" + join(pwLogClust, cChars);
  touch_cache(psc);
  PlaceRule rule;
  if (const PlaceRule *p = pick(g_cfg.place, k)) rule = *p;
  HRESULT hr = rule.hr;
  if (psa == nullptr || pwcChars == nullptr || pwLogClust == nullptr || pCharProps == nullptr ||
      cGlyphs < 0 || (cGlyphs > 0 && (pwGlyphs == nullptr || pGlyphProps == nullptr)) ||
      piAdvance == nullptr || pGoffset == nullptr) {
    hr = E_INVALIDARG;
  } else if (hr == S_OK) {
    auto value = [](const std::vector<long long> &list, int g, long long dflt) {
      return static_cast<LONG>(static_cast<std::size_t>(g) < list.size()
                                   ? list[static_cast<std::size_t>(g)]
                                   : dflt);
    };
    long long total = 0;
    for (int g = 0; g < cGlyphs; ++g) {
      piAdvance[g] = value(rule.adv, g, 100 + pwGlyphs[g]);
      pGoffset[g].du = value(rule.du, g, 0);
      pGoffset[g].dv = value(rule.dv, g, 0);
      total += piAdvance[g];
    }
    if (pABC && rule.abc.size() == 3)
      *pABC = ABC{static_cast<int>(rule.abc[0]), static_cast<UINT>(rule.abc[1]), static_cast<int>(rule.abc[2])};
    else if (pABC)
      *pABC = ABC{0, static_cast<UINT>(total), 0};
  }
  log_line(line + " -> hr=" + hex(static_cast<std::uint32_t>(hr), 8));
  return hr;
}
#endif

#if defined(FAKE_ENTRY_POINTS) && !defined(FAKE_NO_FREE)
FAKE_EXPORT HRESULT ScriptFreeCache(SCRIPT_CACHE *psc) {
  std::lock_guard<std::mutex> lock(g_mu);
  log_line("free sc=" + std::to_string(cache_serial(psc)));
  if (psc != nullptr && *psc != nullptr) {
    delete static_cast<Cache *>(*psc);
    *psc = nullptr;
    --g_live_caches;
  }
  return S_OK;
}
#endif

#if defined(FAKE_FONT_BYTES)
extern "C" {
usp_set_font_bytes_fn usp_set_font_bytes;
usp_clear_font_bytes_fn usp_clear_font_bytes;
}

// The bytes are kept by reference, as the port does: the caller keeps them alive until
// usp_clear_font_bytes has returned.
FAKE_EXPORT int usp_set_font_bytes(const std::uint8_t *bytes, std::size_t length) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::string head;
  for (std::size_t i = 0; bytes && i < length && i < 4; ++i) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    head += buf;
  }
  int rc = g_cfg.fontbytes_rc;
  log_line("setfont len=" + std::to_string(length) + " head=" + (head.empty() ? "-" : head) +
           " -> rc=" + std::to_string(rc));
  if (rc == 0) {
    g_font = bytes;
    g_font_len = length;
  }
  return rc;
}

FAKE_EXPORT void usp_clear_font_bytes(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  log_line("clearfont");
  g_font = nullptr;
  g_font_len = 0;
}
#endif  // FAKE_FONT_BYTES

#if defined(FAKE_TRACE_BEGIN)
extern "C" {
usp_trace_begin_fn usp_trace_begin;
}

FAKE_EXPORT void usp_trace_begin(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  log_line("tbegin");
  g_recorded.clear();
  g_recording = true;
}
#endif  // FAKE_TRACE_BEGIN

#if defined(FAKE_TRACE_READ)
extern "C" {
usp_trace_count_fn usp_trace_count;
usp_trace_stage_fn usp_trace_stage;
usp_trace_stop_fn usp_trace_stop;
}

FAKE_EXPORT int usp_trace_count(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  int n = static_cast<int>(g_recorded.size());
  if (const TraceCountRule *p = pick(g_cfg.trace_counts, t_item)) n = p->n;
  log_line("tcount -> n=" + std::to_string(n));
  return n;
}

FAKE_EXPORT int usp_trace_stage(int index, char *name, int name_capacity, int *glyph_count,
                                const std::uint16_t **glyphs) {
  std::lock_guard<std::mutex> lock(g_mu);
  bool zero = name != nullptr;
  for (int i = 0; zero && i < name_capacity; ++i) zero = name[i] == 0;
  std::string line = "tstage i=" + std::to_string(index) +
                     " cap=" + std::to_string(name_capacity) + " zero=" + (zero ? "1" : "0");
  int rc = -1;
  if (index >= 0 && static_cast<std::size_t>(index) < g_recorded.size() && name != nullptr &&
      name_capacity > 0 && glyph_count != nullptr && glyphs != nullptr) {
    const StageRule &s = g_recorded[static_cast<std::size_t>(index)];
    std::size_t n = std::min(s.name.size(), static_cast<std::size_t>(name_capacity));
    std::memcpy(name, s.name.data(), n);
    if (n < static_cast<std::size_t>(name_capacity)) name[n] = '\0';
    *glyph_count = s.count.value_or(static_cast<int>(s.glyphs.size()));
    *glyphs = s.null_glyphs ? nullptr : s.glyphs.data();
    rc = s.rc;
  }
  log_line(line + " -> rc=" + std::to_string(rc));
  return rc;
}

FAKE_EXPORT void usp_trace_stop(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  log_line("tstop");
  g_recording = false;
}
#endif  // FAKE_TRACE_READ
