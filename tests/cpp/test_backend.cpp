// A backend library for the driver tests, built in three variants:
//   TB_ENTRY_POINTS   the five Uniscribe entry points (else only ScriptItemizeOpenType)
//   TB_PORT_EXPORTS   the port's usp_ exports (font bytes and trace)
// Its state lives in one exported object that the test reads through dlsym.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "abi/usp10.h"
#include "test_backend.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {
__attribute__((visibility("default"))) TestBackendState engine_test_backend_state;
}

namespace {

TestBackendState &state = engine_test_backend_state;
std::mutex lock;

// Set by usp_set_font_bytes, checked at usp_clear_font_bytes.
const std::uint8_t *font_bytes = nullptr;
std::uint64_t font_sum = 0;
[[maybe_unused]] int filled_cache_marker = 0;

void note(char c) {
  std::lock_guard<std::mutex> hold(lock);
  if (state.log_size + 1 < static_cast<int>(sizeof state.log)) state.log[state.log_size++] = c;
}

[[maybe_unused]] std::uint64_t sum(const std::uint8_t *bytes, std::uint64_t length) {
  std::uint64_t s = 0;
  for (std::uint64_t i = 0; i < length; ++i) s = s * 31 + bytes[i];
  return s;
}

}  // namespace

EXPORT void engine_test_backend_reset() {
  std::lock_guard<std::mutex> hold(lock);
  std::memset(&state, 0, sizeof state);
  font_bytes = nullptr;
  font_sum = 0;
}

EXPORT HRESULT ScriptItemizeOpenType(const WCHAR *, int chars, int, const SCRIPT_CONTROL *, const SCRIPT_STATE *psState,
                                     SCRIPT_ITEM *items, OPENTYPE_TAG *tags, int *count) {
  note('I');
  state.itemize_bidi_level = psState->uBidiLevel;
  items[0] = SCRIPT_ITEM{};
  items[0].a.fRTL = psState->uBidiLevel & 1;
  items[1] = SCRIPT_ITEM{};
  items[1].iCharPos = chars;
  tags[0] = 0;
  *count = 1;
  return S_OK;
}

#ifdef TB_ENTRY_POINTS

EXPORT HRESULT ScriptGetFontScriptTags(HDC, SCRIPT_CACHE *, SCRIPT_ANALYSIS *, int, OPENTYPE_TAG *, int *count) {
  note('T');
  *count = 0;
  return S_OK;
}

EXPORT HRESULT ScriptShapeOpenType(HDC, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *, OPENTYPE_TAG, OPENTYPE_TAG, int *,
                                   TEXTRANGE_PROPERTIES **, int, const WCHAR *chars, int count, int max_glyphs,
                                   WORD *clusters, SCRIPT_CHARPROP *, WORD *glyphs, SCRIPT_GLYPHPROP *,
                                   int *glyph_count) {
  note('S');
  *psc = &filled_cache_marker;
  if (font_bytes != nullptr) (void)sum(font_bytes, state.font_length);  // the bytes must still be there
  if (state.shape_sleep_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(state.shape_sleep_ms));
  if (state.shape == BackendShape::Fail) return E_INVALIDARG;
  if (state.shape == BackendShape::TooManyGlyphs) {
    *glyph_count = max_glyphs + 1;
    return S_OK;
  }
  for (int i = 0; i < count; ++i) {
    glyphs[i] = chars[i];
    clusters[i] = static_cast<WORD>(i);
  }
  *glyph_count = count;
  return S_OK;
}

EXPORT HRESULT ScriptPlaceOpenType(HDC, SCRIPT_CACHE *, SCRIPT_ANALYSIS *, OPENTYPE_TAG, OPENTYPE_TAG, int *,
                                   TEXTRANGE_PROPERTIES **, int, const WCHAR *, WORD *, SCRIPT_CHARPROP *, int,
                                   const WORD *, const SCRIPT_GLYPHPROP *, int glyphs, int *advances, GOFFSET *offsets,
                                   ABC *) {
  note('P');
  for (int k = 0; k < glyphs; ++k) {
    advances[k] = 500;
    offsets[k] = GOFFSET{0, 0};
  }
  return S_OK;
}

EXPORT HRESULT ScriptFreeCache(SCRIPT_CACHE *psc) {
  note('F');
  state.free_saw_filled_cache = *psc == &filled_cache_marker ? 1 : 0;
  *psc = nullptr;
  return S_OK;
}

#endif  // TB_ENTRY_POINTS

#ifdef TB_PORT_EXPORTS

EXPORT int usp_set_font_bytes(const std::uint8_t *bytes, std::size_t length) {
  note('B');
  state.font_length = length;
  std::memcpy(state.font_head, bytes, std::min<std::size_t>(length, sizeof state.font_head));
  if (state.set_font_bytes_rc != 0) return state.set_font_bytes_rc;
  font_bytes = bytes;
  font_sum = sum(bytes, length);
  std::lock_guard<std::mutex> hold(lock);
  state.sessions_open += 1;
  state.most_sessions_open = std::max(state.most_sessions_open, state.sessions_open);
  return 0;
}

EXPORT void usp_clear_font_bytes() {
  note('C');
  state.font_intact_at_clear = font_bytes != nullptr && sum(font_bytes, state.font_length) == font_sum ? 1 : 0;
  font_bytes = nullptr;
  std::lock_guard<std::mutex> hold(lock);
  state.sessions_open -= 1;
}

EXPORT void usp_trace_begin() { note('b'); }
EXPORT int usp_trace_count() {
  note('n');
  return 0;
}
EXPORT int usp_trace_stage(int, char *, int, int *, const std::uint16_t **) {
  note('s');
  return -1;
}
EXPORT void usp_trace_stop() { note('e'); }

#endif  // TB_PORT_EXPORTS
