// Choosing and opening the backend library, and its entry table.
#pragma once

#include <optional>
#include <string>

#include "abi/usp10.h"
#include "base/result.h"

namespace tesvo {

namespace loader {
// Opens the backend: the given path, else TESVO_VANTOR, else "libvantor.so".
// The handle is never closed; the library stays loaded for the process.
Result<void *> open(const std::optional<std::string> &path);
}  // namespace loader

// The resolved entry points of one loaded backend. Optional slots may be null.
struct Usp10 {
  ScriptItemizeOpenTypeFn *itemize = nullptr;
  ScriptShapeOpenTypeFn *shape = nullptr;
  ScriptPlaceOpenTypeFn *place = nullptr;
  ScriptFreeCacheFn *free_cache = nullptr;
  ScriptGetFontScriptTagsFn *font_script_tags = nullptr;
  void *library = nullptr;
  usp_trace_begin_fn *trace_begin = nullptr;
  usp_trace_count_fn *trace_count = nullptr;
  usp_trace_stage_fn *trace_stage = nullptr;
  usp_trace_stop_fn *trace_stop = nullptr;
  usp_trace_stage_glyphs_fn *trace_stage_glyphs = nullptr;
  usp_trace_stage_change_fn *trace_stage_change = nullptr;
  usp_trace_stage_nested_fn *trace_stage_nested = nullptr;
  usp_trace_refusal_fn *trace_refusal = nullptr;
  usp_set_font_bytes_fn *set_font_bytes = nullptr;
  usp_clear_font_bytes_fn *clear_font_bytes = nullptr;
  usp_capabilities_fn *capabilities = nullptr;
  usp_backend_version_fn *backend_version = nullptr;
  ScriptBreakFn *script_break = nullptr;
  usp_set_variations_fn *set_variations = nullptr;
  usp_variation_coords_fn *variation_coords = nullptr;
  usp_language_tags_fn *language_tags = nullptr;

  static Result<Usp10> load(const std::optional<std::string> &path);
};

}  // namespace tesvo
