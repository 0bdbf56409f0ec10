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
#include "abi/usp10.h"
#include "shape/driver.h"
#include "json/writer.h"
#include "shape/run.h"
#include "text/utf.h"

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
usp_trace_refusal_fn usp_trace_refusal;
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
  usp.trace_refusal = &usp_trace_refusal;
  usp.set_font_bytes = &usp_set_font_bytes;
  usp.clear_font_bytes = &usp_clear_font_bytes;
  return usp;
}

// Every glyph of the document points into the text, and the document renders
// as UTF-8 (the module decodes it strictly).
void check_document(const tesvo::Value &doc, std::size_t text_length) {
  const tesvo::Value *final_glyphs = doc.find("final");
  const tesvo::Value *stages = doc.find("stages");
  if (final_glyphs == nullptr || stages == nullptr || final_glyphs->size() == 0) std::abort();
  auto check_glyphs = [&](const tesvo::Value &glyphs) {
    for (std::size_t k = 0; k < glyphs.size(); ++k) {
      const tesvo::Value *cl = glyphs.at(k).find("cl");
      if (cl == nullptr || cl->as_uint() >= text_length) std::abort();
    }
  };
  check_glyphs(*final_glyphs);
  for (std::size_t s = 0; s < stages->size(); ++s) check_glyphs(*stages->at(s).find("glyphs"));
  tesvo::JsonText text = tesvo::render_json(doc);
  if (text.view().empty() || text.view().front() != '{' || text.view().back() != '}') std::abort();
  if (!tesvo::is_valid_utf8(text.view())) std::abort();
}

// One request through the driver: the font handed to the port for it, the
// run on a fresh script cache, then the cache freed and the font cleared.
void shape_once(const tesvo::Usp10 &usp, const std::string &font, const std::u16string &text,
                std::uint8_t flags, const tesvo::FeatureList &features) {
  tesvo::TextPlan plan;
  plan.direction = (flags & 1U) != 0 ? tesvo::ParagraphDirection::rtl : tesvo::ParagraphDirection::ltr;
  plan.features = features;
  plan.trace = (flags & 2U) != 0;
  const std::string family = "fuzz";
  const std::string path = "fuzz.font";
  const tesvo::PortFont bytes{{reinterpret_cast<const std::uint8_t *>(font.data()), font.size()}};
  try {
    tesvo::Result<tesvo::Value> result =
        tesvo::shape_document(usp, bytes, text, plan, tesvo::FontFacts{1000, 0, family, path});
    if (result) check_document(*result, text.size());
  } catch (const tesvo::EnginePanic &) {
    std::abort();
  }
}

}  // namespace

// Input layout: flags (bit 0 right-to-left, bit 1 trace, bit 2 a second
// request with the same font), feature count
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

  shape_once(usp, font, text, flags, features);
  // Bit 2: a second request with the same bytes finds the font the port kept
  // from the first one, and shapes with its shared face and plans again.
  if ((flags & 4U) != 0) shape_once(usp, font, text, static_cast<std::uint8_t>(flags ^ 2U), features);
  return 0;
}
