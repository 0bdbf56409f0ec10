// The glyphs of a result as tesvo._engine hands them out: one bytes object
// holding every glyph's fields in columns of 32-bit integers, and a sequence
// type over it that makes a Glyph record only when one is read.
#pragma once

#include "lib/py_ref.h"

#include <cstdint>

namespace tesvo::py {

// The columns, in this order, each `count` int32 values in native byte order.
// A record holds them and then the glyph's name.
enum GlyphColumn { kId, kCluster, kAdvance, kDu, kDv, kXOffset, kYOffset, kItem, kGlyphColumns };
inline constexpr int kGlyphFields = kGlyphColumns + 1;

// The glyph's name from the font's names (a tuple of str, by id), "gid<N>"
// beyond them; a new reference.
PyObject *glyph_name(PyObject *names, std::int32_t id);

// Makes the GlyphRun type and its iterator's; a new reference to the first,
// or null with an exception set.
PyObject *make_glyph_run_type();

// A new GlyphRun over `columns` (a bytes object of kGlyphColumns * count int32s)
// and the font's glyph names (a tuple of str, by glyph id).
PyObject *new_glyph_run(PyObject *columns, PyObject *names);

}  // namespace tesvo::py
