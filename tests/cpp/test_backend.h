// The state of the driver tests' backend library, shared between the library
// and the test through one exported object. The library records every call in
// order as one letter each:
//   I ScriptItemizeOpenType   T ScriptGetFontScriptTags   S ScriptShapeOpenType
//   P ScriptPlaceOpenType     F ScriptFreeCache
//   B usp_set_font_bytes      C usp_clear_font_bytes
//   b usp_trace_begin         n usp_trace_count   s usp_trace_stage   e usp_trace_stop
#pragma once

#include <cstdint>

enum class BackendShape : int {
  Ok = 0,            // one glyph per character
  Fail = 1,          // E_INVALIDARG
  TooManyGlyphs = 2  // more glyphs than the buffer holds: a broken contract
};

struct TestBackendState {
  // What the test asks of the backend.
  int set_font_bytes_rc;
  BackendShape shape;
  int shape_sleep_ms;

  // What the backend saw.
  char log[1024];
  int log_size;
  std::uint64_t font_length;
  std::uint8_t font_head[16];
  int font_intact_at_clear;      // 1 when the bytes were unchanged and readable at clear
  int itemize_bidi_level;        // uBidiLevel of the SCRIPT_STATE given to itemization
  int free_saw_filled_cache;     // 1 when ScriptFreeCache got the cache the shaping filled
  int sessions_open;             // between usp_set_font_bytes and usp_clear_font_bytes
  int most_sessions_open;
};

// The exported names the test looks up with dlsym.
#define TEST_BACKEND_STATE "engine_test_backend_state"
#define TEST_BACKEND_RESET "engine_test_backend_reset"
using TestBackendReset = void();
