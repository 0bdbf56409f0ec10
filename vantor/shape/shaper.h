// Shaping one item with HarfBuzz, from the arguments of ScriptShapeOpenType
// and ScriptPlaceOpenType.
#pragma once

#include <hb.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "abi/usp10.h"
#include "font_store.h"
#include "hb_handles.h"

namespace vantor {

// Everything that decides HarfBuzz's result for one item.
struct ShapeRequest {
  std::u16string_view text;
  hb_direction_t direction = HB_DIRECTION_LTR;
  hb_script_t script = HB_SCRIPT_COMMON;
  // Carries the language system tag and, when the caller named a script tag
  // the font has, that tag too, as HarfBuzz private-use subtags.
  hb_language_t language = HB_LANGUAGE_INVALID;
  std::vector<hb_feature_t> features;  // ranges in UTF-16 offsets of the item
  // HB_BUFFER_FLAG_BOT and HB_BUFFER_FLAG_EOT when the item begins or ends
  // the text (see text_edge_flags).
  hb_buffer_flags_t flags = HB_BUFFER_FLAG_DEFAULT;
};

// The arguments shared by ScriptShapeOpenType and ScriptPlaceOpenType.
struct ItemArguments {
  const SCRIPT_ANALYSIS *analysis;
  OPENTYPE_TAG script_tag;
  OPENTYPE_TAG language_tag;
  const int *range_chars;
  TEXTRANGE_PROPERTIES *const *range_properties;
  int range_count;
  const WCHAR *chars;
  int char_count;
};

// The itemizer marks the items that do not begin or end the text in the
// SCRIPT_STATE bits Uniscribe leaves to the shaping engine, so that a
// zeroed SCRIPT_ANALYSIS, as a caller that shapes without itemizing passes,
// stands for a whole text.
constexpr WORD kEngineNotTextStart = 1;
constexpr WORD kEngineNotTextEnd = 2;
WORD engine_bits(bool begins_text, bool ends_text);
hb_buffer_flags_t text_edge_flags(const SCRIPT_ANALYSIS &analysis);

// Builds the request; E_INVALIDARG for inconsistent ranges or feature
// records, S_OK otherwise.
HRESULT make_request(const FontFace &font, const ItemArguments &args, ShapeRequest *out);

// HarfBuzz's glyphs for one item, in logical order (HarfBuzz's output order
// reversed for right-to-left items). Clusters are UTF-16 offsets into the item.
struct ShapedRun {
  std::vector<hb_codepoint_t> glyphs;
  std::vector<std::uint32_t> clusters;
  std::vector<hb_glyph_position_t> positions;
};

// A fresh buffer holding the request's text and segment properties.
BufferPtr make_buffer(const ShapeRequest &request);
// Empties `buffer` and fills it as make_buffer fills a new one, keeping the
// memory it has.
void fill_buffer(const ShapeRequest &request, hb_buffer_t *buffer);

// Shapes a buffer made by make_buffer; false when HarfBuzz fails.
bool shape_buffer(const FontFace &font, const ShapeRequest &request, hb_buffer_t *buffer);

// Shapes the request in `buffer` (refilled) into *out; E_OUTOFMEMORY or
// E_FAIL when HarfBuzz fails.
HRESULT shape(const FontFace &font, const ShapeRequest &request, hb_buffer_t *buffer, ShapedRun *out);

// The last shaping request of a script cache and its result. Placing reuses
// the result when it is asked for the same item and glyphs right after
// shaping them, which is how items are laid out; anything else is shaped
// again. The text is compared by content, not by address, so the match is
// exact even when a caller reuses a buffer for other text.
class ShapeMemo {
 public:
  const ShapedRun *find(const ShapeRequest &request) const;
  // find(), or else, when the request is a piece of the kept long run (see
  // keep_long), that piece made the memo's run and request.
  const ShapedRun *recall(const ShapeRequest &request);
  // The run to shape into, its request forgotten; the memo matches it again
  // only after commit(), once shaping into it succeeded. Its vectors keep
  // their memory from one item to the next.
  ShapedRun &begin_store();
  void commit(const ShapeRequest &request);
  // Keeps the memo's run, just shaped in `buffer` and too long for one
  // Uniscribe item, for the pieces its caller cuts it into next. A piece is
  // taken from it, not shaped again, where HarfBuzz marks both of its ends
  // safe to break and white space ends the text before each end inside the
  // run: shaping the piece alone gives those very glyphs, since HarfBuzz's
  // safe break means the same result as shaping the two sides separately,
  // and the white space before a cut leaves nothing to the context the piece
  // is shaped without. (A run HarfBuzz stopped at its operation limit, which
  // only a font whose lookups loop reaches, gives its pieces its own glyphs,
  // as hb-shape prints the whole run; HarfBuzz does not tell that it stopped.)
  // The kept run lives as long as the memo, or until the next one.
  void keep_long(hb_buffer_t *buffer);

 private:
  // The part of a request that must match for the memo to serve it.
  struct Key {
    std::u16string text;
    hb_direction_t direction = HB_DIRECTION_INVALID;
    hb_script_t script = HB_SCRIPT_INVALID;
    hb_language_t language = HB_LANGUAGE_INVALID;
    std::vector<hb_feature_t> features;
    hb_buffer_flags_t flags = HB_BUFFER_FLAG_DEFAULT;
    // Where the caller's text was: a piece of it is looked for at the same
    // offset from there (and must then hold the same units).
    std::uintptr_t origin = 0;
  };
  static void set_key(Key &key, const ShapeRequest &request);
  static bool matches(const Key &key, const ShapeRequest &request);
  bool cut_from_long(const ShapeRequest &request);

  bool valid_ = false;
  Key key_;
  ShapedRun run_;

  bool long_valid_ = false;
  Key long_key_;
  ShapedRun long_run_;
  std::vector<bool> long_breaks_;  // per code unit and the end: a piece may start there
};

}  // namespace vantor
