// The shaping run: itemize the text once, then shape and place item by item
// through the backend, and build the result document.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "abi/usp10.h"
#include "document/document.h"
#include "text/features.h"
#include "base/result.h"
#include "trace/trace.h"
#include "json/value.h"
#include "abi/loader.h"

namespace tesvo {

// Why an item was cut into pieces.
enum class CutReason {
  overflow,  // shaped whole, it held more glyphs than one Uniscribe item can
  length,    // more than kCutUnshapedChars code units: cut without shaping it whole first
  trace,     // traced: one trace of a long run costs HarfBuzz time quadratic in its length
  marks,     // a run of more than kLongestMarkRun characters of one grapheme cluster
};

// The most characters of one grapheme cluster after its first (combining
// marks, mostly) that the package shapes in one item: HarfBuzz takes time
// quadratic in the length of such a run (262,000 accents took 329 s).
inline constexpr std::size_t kLongestMarkRun = 256;

// An item of the itemizer that was shaped as `pieces` items, cut at break
// opportunities (at grapheme boundaries `grapheme_cuts` times, where a
// stretch had no other).
struct ItemCut {
  std::uint64_t start;  // UTF-16 code units of the text
  std::uint64_t end;
  std::size_t pieces;
  std::size_t grapheme_cuts;
  CutReason reason = CutReason::overflow;
};

// An item longer than this, in UTF-16 code units, is cut without first being
// shaped whole: it would fit 65,535 glyphs only at more than four code units
// a glyph on average.
inline constexpr std::uint64_t kCutUnshapedChars = 4 * 65535;

// State shared by the steps of one run. The driver owns it and the cache.
struct ShapeRun {
  ShapeRun(const Usp10 &table, SCRIPT_CACHE *script_cache, bool traced, bool native)
      : usp(table), cache(script_cache) {
    tracing.on = traced;
    tracing.native = native;
  }

  const Usp10 &usp;
  HDC hdc = nullptr;
  SCRIPT_CACHE *cache;
  // The trace's own state, written by the trace's functions (trace/trace.h).
  TraceState tracing;
  OPENTYPE_TAG script_tag = 0;         // tagScript of every item; 0: the font's best for each item
  OPENTYPE_TAG language_tag = kTagDflt;  // tagLangSys of every item
  // Cut an item that overflows the glyph buffer into pieces instead of
  // failing, and trace a long item as pieces; each cut is recorded in `cuts`.
  bool cut_long_items = false;
  // Ask ScriptPlaceOpenType for each item's ABC widths (ItemView::abc).
  bool place_widths = false;
  std::vector<ItemCut> cuts;
  // The script tags the font's GSUB and GPOS list, when known: an item is
  // then shaped, and reported, with the tag whose lookups the font selects (a
  // requested tag the font lacks falls back as it does without one, and an
  // item whose script the font lacks takes DFLT, dflt or latn as HarfBuzz
  // does). Empty: tags as requested or as the backend offers them.
  std::vector<OPENTYPE_TAG> font_scripts;
  // Features over part of the text, in UTF-16 code units of the text.
  std::vector<RangedFeature> ranged_features;
};

// One item as the backend itemized and shaped it.
struct ItemView {
  std::size_t index;
  SCRIPT_ANALYSIS analysis;  // as itemized
  OPENTYPE_TAG tag;          // the script tag it was shaped with
  std::uint64_t start;       // UTF-16 code units of the text
  std::uint64_t end;
  bool continues = false;    // a piece of the item before it, cut at the glyph limit
  // The backend's own outputs for the item, as it returned them: per UTF-16
  // code unit of the item its log cluster and character properties, per glyph
  // (logical order) its properties, and the item's ABC widths (zero unless
  // the run asks for them).
  std::span<const WORD> log_clusters = {};
  std::span<const SCRIPT_CHARPROP> char_props = {};
  std::span<const SCRIPT_GLYPHPROP> glyph_props = {};
  ABC abc = {};
};

// Takes each item's glyphs as soon as the item is placed, in logical order of
// items. `records` are in logical order with clusters relative to the item;
// run.tracing.lookup_stages holds the item's trace. Nothing is kept for later items.
class ItemSink {
 public:
  virtual ~ItemSink() = default;
  virtual void item(ShapeRun &run, const ItemView &item, std::span<const GlyphRecord> records) = 0;
  // After the last item.
  virtual void finish(ShapeRun &run) { (void)run; }
};

// Itemizes the text at paragraph level `rtl`, then shapes and places every
// item into the sink. Fails with "no glyphs produced" when nothing was shaped.
Result<std::monostate> shape_items_into(std::u16string_view text, std::uint16_t rtl, const Usp10 &usp,
                                        ShapeRun &run, const FeatureList &features, ItemSink &sink);

// Facts about the font that the document reports beside the glyphs.
struct FontFacts {
  std::uint32_t upem;
  std::uint32_t glyph_count;
  const std::string &family;
  const std::string &path;  // the font file as the document names it
};

// shape_items_into with the compatibility call's result document as the sink.
Result<Value> shape_items(std::u16string_view text, std::uint16_t rtl, const Usp10 &usp, ShapeRun &run,
                          const FontFacts &font, const FeatureList &features);

// "E_INVALIDARG (0x80070057)", "HRESULT error (0x80004005)", ...
std::string named_code(HRESULT hr);

// "0x746c6664": a tag as a 32-bit number, eight lower-case digits.
std::string tag_hex(OPENTYPE_TAG tag);

// The document's line for an item of the itemizer shaped as pieces.
std::string cut_message(const ItemCut &cut);

// Why an item was cut, as both the document's line and the package's warning
// put it between the item's span and its number of pieces.
inline const char *cut_reason(const ItemCut &cut) {
  switch (cut.reason) {
    case CutReason::length:
      return " form one item too long for the 65,535 glyphs a Uniscribe item holds: shaped as ";
    case CutReason::marks:
      return " hold runs of more than 256 characters that go on one grapheme cluster (combining marks), on "
             "which HarfBuzz takes time quadratic in their length: shaped as ";
    case CutReason::trace:
      return " form one item too long to trace whole (HarfBuzz's tracing of one run takes time quadratic in its "
             "length): traced as ";
    case CutReason::overflow:
      break;
  }
  return " form one item of more than 65,535 glyphs, the most a Uniscribe item holds: shaped as ";
}

// How a cut chose its places, as both the document's line and the package's
// warning end after the number of pieces.
inline const char *cut_places(const ItemCut &cut) {
  if (cut.reason == CutReason::marks)
    return ", cut after every 256 of those characters (the marks after a cut are shaped without the character they "
           "go on)";
  return cut.reason == CutReason::trace
             ? ", each with its own stages, cut at break opportunities where the pieces shaped alone give the "
               "item's glyphs"
             : ", cut at break opportunities";
}

}  // namespace tesvo
