// Turning a shaped item into Uniscribe's output arrays.
#pragma once

#include <hb.h>

#include <string_view>

#include "abi/usp10.h"
#include "font_store.h"
#include "shaper.h"

namespace vantor {

// Glyph order of the caller's arrays: logical, or for a right-to-left item
// shaped without fLogicalOrder, visual (the logical order reversed).
struct GlyphOrder {
  bool reversed = false;
  std::size_t slot(std::size_t logical, std::size_t count) const {
    return reversed ? count - 1 - logical : logical;
  }
};

// Fills the outputs of ScriptShapeOpenType: glyph ids, glyph properties, log
// clusters (one per UTF-16 unit of text) and, when char_props is not null,
// character properties. `script` is the item's: Arabic items get the Arabic
// justification classes.
void write_shape_outputs(const FontFace &font, const ShapedRun &run, std::u16string_view text,
                         hb_script_t script, GlyphOrder order, WORD *log_clust, SCRIPT_CHARPROP *char_props,
                         WORD *glyphs, SCRIPT_GLYPHPROP *glyph_props);

// True when the caller's glyph array holds exactly the run's glyphs.
bool holds_glyphs(const ShapedRun &run, GlyphOrder order, const WORD *glyphs, int count);

// Fills the outputs of ScriptPlaceOpenType from the run's positions, and
// the run's ABC widths when abc is not null.
void write_positions(const FontFace &font, const ShapedRun &run, bool rtl, GlyphOrder order, int *advances,
                     GOFFSET *offsets, ABC *abc);

// Places glyphs the shaper did not produce for this text with their nominal
// advances and no offsets; `left_to_right` when the caller's array runs
// left to right (for the ABC widths).
void write_nominal_positions(const FontFace &font, const WORD *glyphs, int count, bool left_to_right,
                             int *advances, GOFFSET *offsets, ABC *abc);

}  // namespace vantor
