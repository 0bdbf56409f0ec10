// The Glyph records tesvo._engine makes: the package's Glyph NamedTuple,
// extended by a class of the engine's whose fields are read as slots of the
// tuple, and the integers that fill them.
#pragma once

#include <cstdint>

#include "python/types/glyph_run.h"
#include "cpython/py_ref.h"

namespace tesvo::py {

// The record class over the package's NamedTuple `fields` (id, cluster,
// advance, du, dv, x_offset, y_offset, item, name): a subclass of it under
// the same module and name, that reads each field as a slot of the tuple.
// Made once; a new reference, or null with an exception set.
PyObject *make_glyph_type(PyObject *fields);

// The item pointers of a tuple, read in place as the record class reads its
// own (a tuple's layout is checked when that class is made); null before then.
PyObject *const *tuple_items(PyObject *tuple);

// A new record of that class holding `values` (one per GlyphColumn) and
// `name`, whose reference it takes; null with an exception set (the name
// released), also before make_glyph_type.
PyObject *new_glyph_record(const std::int32_t (&values)[kGlyphColumns], PyObject *name);

// Fills a record that new_glyph_record made, and that nothing but the caller
// holds any more, with the fields of another glyph, as a new record would
// hold them, and takes the reference to `name`. `held` are the values the
// record holds now (those it was made or last refilled with): a field whose
// value stays is not touched. False, leaving `name` to the caller, where the
// record is held elsewhere or this Python keeps state in a tuple beyond its
// items (a cached hash), changing nothing then; or where an int could not be
// made, the record then part filled: the caller drops the record and makes a
// new one. Iterators of CPython's own (zip, enumerate) reuse their result
// tuples the same way.
bool refill_glyph_record(PyObject *record, const std::int32_t (&held)[kGlyphColumns],
                         const std::int32_t (&values)[kGlyphColumns], PyObject *name);

}  // namespace tesvo::py
