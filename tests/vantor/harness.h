// Helpers for the libvantor tests: fonts, text, the hb-shape oracle, and the
// backend calls made the way the module makes them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "abi/usp10.h"

extern "C" {
ScriptItemizeOpenTypeFn ScriptItemizeOpenType;
ScriptShapeOpenTypeFn ScriptShapeOpenType;
ScriptPlaceOpenTypeFn ScriptPlaceOpenType;
ScriptFreeCacheFn ScriptFreeCache;
ScriptGetFontScriptTagsFn ScriptGetFontScriptTags;
usp_set_font_bytes_fn usp_set_font_bytes;
usp_clear_font_bytes_fn usp_clear_font_bytes;
usp_trace_begin_fn usp_trace_begin;
usp_trace_count_fn usp_trace_count;
usp_trace_stage_fn usp_trace_stage;
usp_trace_stop_fn usp_trace_stop;
usp_trace_stage_glyphs_fn usp_trace_stage_glyphs;
usp_trace_stage_change_fn usp_trace_stage_change;
usp_set_variations_fn usp_set_variations;
usp_variation_coords_fn usp_variation_coords;
usp_language_tags_fn usp_language_tags;
}

namespace vantor_test {

std::string font_path(std::string_view file_name);
std::vector<std::uint8_t> read_file(const std::string &path);
std::u16string utf16(const std::u32string &code_points);
std::u16string utf16(std::string_view utf8);

constexpr OPENTYPE_TAG ot_tag(const char (&s)[5]) {
  return OPENTYPE_TAG(std::uint8_t(s[0])) | OPENTYPE_TAG(std::uint8_t(s[1])) << 8 |
         OPENTYPE_TAG(std::uint8_t(s[2])) << 16 | OPENTYPE_TAG(std::uint8_t(s[3])) << 24;
}

struct Item {
  int start = 0, end = 0;
  SCRIPT_ANALYSIS analysis{};
  OPENTYPE_TAG tag = 0;
};

// cMaxItems = max(16, 2n + 8); a right-to-left paragraph has uBidiLevel 1
// and fArabicNumContext, as the module sets them. Empty on failure.
std::vector<Item> itemize(std::u16string_view text, bool rtl, HRESULT *hr = nullptr);

struct ShapeOptions {
  bool logical_order = true;
  OPENTYPE_TAG language = kTagDflt;
  OPENTYPE_TAG script_tag = 0;  // 0: the font's first tag, as the module picks it
  std::vector<int> range_chars;
  std::vector<std::vector<OPENTYPE_FEATURE_RECORD>> range_features;
};

// One item's results in the order the backend delivered them.
struct Shaped {
  HRESULT shape_hr = S_OK, place_hr = S_OK;
  OPENTYPE_TAG tag = 0;
  std::vector<WORD> glyphs, log_clust;
  std::vector<SCRIPT_CHARPROP> char_props;
  std::vector<SCRIPT_GLYPHPROP> glyph_props;
  std::vector<int> advances;
  std::vector<GOFFSET> offsets;
  ABC abc{};
};

// ScriptGetFontScriptTags, then shaping with max(16, 3n + 8) glyph slots
// doubled on E_OUTOFMEMORY, then placing.
Shaped shape_item(SCRIPT_CACHE *cache, std::u16string_view text, const Item &item,
                  const ShapeOptions &options = {});
// Itemizes a text that must make one item, and shapes it.
Shaped shape_text(SCRIPT_CACHE *cache, std::u16string_view text, bool rtl = false,
                  const ShapeOptions &options = {});

// Sets a font's bytes for the life of the object, with a script cache that
// is freed at its end.
class FontSession {
 public:
  explicit FontSession(std::string_view file_name);
  ~FontSession();
  FontSession(const FontSession &) = delete;
  FontSession &operator=(const FontSession &) = delete;
  SCRIPT_CACHE *cache() { return &cache_; }

 private:
  std::vector<std::uint8_t> bytes_;
  SCRIPT_CACHE cache_ = nullptr;
};

struct OracleGlyph {
  unsigned g = 0, cl = 0;
  int dx = 0, dy = 0, ax = 0, ay = 0;
};

// The system hb-shape's glyphs for the text, shaped as the beginning and end
// of a text, in visual order; empty when it cannot be run. `extra` holds
// more hb-shape options.
std::vector<OracleGlyph> hb_shape(const std::string &font_file, std::u16string_view text,
                                  const std::string &extra = "");
std::vector<WORD> ids(const std::vector<OracleGlyph> &glyphs);

// One line of `hb-shape --trace`: the message and the buffer's glyphs then
// (before substitution its characters, as g, with `characters` set); the
// last line, with an empty message, is the shaped result in visual order.
// HarfBuzz 6.0.0's hb-shape prints its trace on standard output, later ones
// on standard error: both are read.
struct OracleTraceLine {
  std::string message;
  std::vector<OracleGlyph> glyphs;
  bool characters = false;
};
std::vector<OracleTraceLine> hb_shape_trace(const std::string &font_file, std::u16string_view text);

}  // namespace vantor_test
