// The shaping run: itemize the text once, then shape and place item by item
// through the backend, and build the result document.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ffi/usp10.h"
#include "lib/features.h"
#include "lib/options.h"
#include "lib/probes.h"
#include "lib/result.h"
#include "lib/trace.h"
#include "lib/value.h"
#include "loader/loader.h"

namespace tesvo {

// A stage of a trace: its name and the glyph ids after it.
struct StagePair {
  std::string name;
  std::vector<std::uint16_t> glyphs;
};

// State shared by the steps of one run. The driver owns it and the cache.
struct ShapeRun {
  ShapeRun(const Usp10 &table, SCRIPT_CACHE *script_cache, bool traced, bool native)
      : usp(table), cache(script_cache), trace(traced), native_trace(native) {}

  std::vector<StagePair> lookup_stages;  // the port's per-lookup stages of the current item
  std::vector<StagePair> native_stages;  // the native engine's stages of the current item
  std::vector<TraceStage> item_stages;   // the port's full stages of the current item
  std::vector<ItemTrace> item_traces;    // the full stages of every traced item so far
  const Usp10 &usp;
  HDC hdc = nullptr;
  SCRIPT_CACHE *cache;
  bool trace = false;
  bool native_trace = false;
  bool native_ready = false;
  NativeCapture native;  // what the native capture saw for the current item
};

// Facts about the font that the document reports beside the glyphs.
struct FontFacts {
  std::uint32_t upem;
  std::uint32_t glyph_count;
  const std::string &family;
};

Result<Value> shape_items(std::u16string_view text, std::uint16_t rtl, const Usp10 &usp, ShapeRun &run,
                          const FontFacts &font, const FeatureList &features, const ShapeOpts &opts);

// "E_INVALIDARG (0x80070057)", "HRESULT error (0x80004005)", ...
std::string named_code(HRESULT hr);

// "0x746c6664": a tag as a 32-bit number, eight lower-case digits.
std::string tag_hex(OPENTYPE_TAG tag);

}  // namespace tesvo
