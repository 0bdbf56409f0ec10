// The stages of a traced result as tesvo._engine hands them out: every stage
// kept as the change it made to the stage before it (two bytes objects for
// the whole trace), and a sequence type per stage that rebuilds the stage
// whole, and makes a StageGlyph record, only when one is read.
#pragma once

#include "cpython/py_ref.h"

#include <cstdint>

namespace tesvo::py {

// The stage table: per stage these int32 values, in this order. A stage
// replaces the glyphs [start, stop) of the stage before it of the same item
// with its `changed` glyphs, which begin at `first_glyph` of the glyph rows;
// the first stage of an item (the first stage, or one whose item differs from
// the stage before) replaces nothing.
enum StageField { kStageItem, kStageFlags, kStageCount, kStageStart, kStageStop, kStageFirstGlyph, kStageChanged,
                  kStageFields };
inline constexpr std::int32_t kStagePositioned = 1;  // kStageFlags: the stage has positions

// A glyph row: these int32 values. A cluster of -1 is one the backend did
// not give.
enum StageGlyphField { kRowId, kRowCluster, kRowAdvance, kRowXOffset, kRowYOffset, kRowFields };

// Adds the StageChanges and StageGlyphs types to the module; false with an
// exception set.
bool add_stage_types(PyObject *module);

// The record types stages are made of from now on: the package's Stage and
// StageGlyph NamedTuples, given once when the package is imported. None, or
// null with an exception set.
PyObject *use_stage_types(PyObject *stage, PyObject *stage_glyph);

// A trace over the stage table and the glyph rows (bytes objects, see above)
// and the font's glyph names (a tuple of str, by id); null with an exception
// set when they do not hold together.
PyObject *new_stage_changes(PyObject *table, PyObject *rows, PyObject *names);

// The Stage record of stage `index` of `changes`: (item, kind, name, glyphs)
// with its StageGlyphs. Steals `kind` and `name`.
PyObject *new_stage(PyObject *changes, Py_ssize_t index, PyObject *kind, PyObject *name, PyObject *nested);

// What a StageGlyphs changed, read in place: the stage's length, the span
// [start, stop) of the stage before it that its `changed` rows replace
// (kRowFields int32 each, unaligned bytes valid while the StageGlyphs lives), whether it
// positions, and the font's glyph names by id (borrowed).
struct StageChangeView {
  Py_ssize_t count, start, stop, changed;
  bool positioned;
  const char *rows;
  PyObject *names;
};

// The change of `glyphs` when it is a StageGlyphs; false, setting nothing,
// for any other object.
bool stage_change_view(PyObject *glyphs, StageChangeView &out);

}  // namespace tesvo::py
