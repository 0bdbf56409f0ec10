// The bundled backend driven by the shaping run, on arbitrary font bytes,
// UTF-16 text and feature records: itemize, font script tags, shaping with a
// growing buffer, placing, and the trace read-back. The backend must never
// break its contract (an engine failure here is a finding) nor touch memory
// it does not own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "byte_source.h"
#include "ffi/usp10.h"
#include "lib/run.h"

extern "C" {
ScriptItemizeOpenTypeFn ScriptItemizeOpenType;
ScriptShapeOpenTypeFn ScriptShapeOpenType;
ScriptPlaceOpenTypeFn ScriptPlaceOpenType;
ScriptFreeCacheFn ScriptFreeCache;
ScriptGetFontScriptTagsFn ScriptGetFontScriptTags;
usp_trace_begin_fn usp_trace_begin;
usp_trace_count_fn usp_trace_count;
usp_trace_stage_fn usp_trace_stage;
usp_trace_stop_fn usp_trace_stop;
usp_set_font_bytes_fn usp_set_font_bytes;
usp_clear_font_bytes_fn usp_clear_font_bytes;
}

namespace {

tesvo::Usp10 bundled_backend() {
  tesvo::Usp10 usp;
  usp.itemize = &ScriptItemizeOpenType;
  usp.shape = &ScriptShapeOpenType;
  usp.place = &ScriptPlaceOpenType;
  usp.free_cache = &ScriptFreeCache;
  usp.font_script_tags = &ScriptGetFontScriptTags;
  usp.trace_begin = &usp_trace_begin;
  usp.trace_count = &usp_trace_count;
  usp.trace_stage = &usp_trace_stage;
  usp.trace_stop = &usp_trace_stop;
  usp.set_font_bytes = &usp_set_font_bytes;
  usp.clear_font_bytes = &usp_clear_font_bytes;
  return usp;
}

}  // namespace

// Input layout: flags (bit 0 right-to-left, bit 1 trace), feature count
// (0..3) and that many (tag, value) pairs, text length in code units (0..1023)
// and the units, then the font bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const tesvo::Usp10 usp = bundled_backend();
  ByteSource in(data, size);
  auto flags = in.integral<std::uint8_t>();
  tesvo::FeatureList features;
  for (int n = in.in_range(0, 3); n > 0; --n)
    features.push_back({in.integral<std::uint32_t>(), static_cast<LONG>(in.integral<std::uint16_t>())});
  std::u16string text;
  for (int n = in.integral<std::uint16_t>() % 1024; n > 0; --n) text.push_back(in.integral<char16_t>());
  std::string font = in.rest();
  if (text.empty()) return 0;

  if (usp_set_font_bytes(reinterpret_cast<const std::uint8_t *>(font.data()), font.size()) != 0) return 0;
  SCRIPT_CACHE cache = nullptr;
  {
    tesvo::ShapeRun run(usp, &cache, (flags & 2U) != 0, false);
    std::string family = "fuzz";
    tesvo::FontFacts facts{1000, 0, family};
    tesvo::ShapeOpts opts;
    opts.font = "fuzz.font";
    try {
      tesvo::Result<tesvo::Value> result = tesvo::shape_items(text, flags & 1U, usp, run, facts, features, opts);
      (void)result;
    } catch (const tesvo::EnginePanic &) {
      std::abort();
    }
  }
  ScriptFreeCache(&cache);
  usp_clear_font_bytes();
  return 0;
}
