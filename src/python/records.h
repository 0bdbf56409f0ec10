// The records tesvo._engine hands out for a shaped text, and the record types
// they are made of: `Item` (the engine's own), and the package's Glyph, Stage
// and StageGlyph classes, which the package gives the engine once, in one
// call (record_types) when tesvo.result is imported.
#pragma once

#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "python/text_arg.h"
#include "shape/session.h"

namespace tesvo::py {

// Adds the engine's Item type to the module.
bool add_item_type(PyObject *module);

// record_types(Glyph, Stage, StageGlyph) -> the Glyph class of every GlyphRun
// (an engine subclass of the NamedTuple given); the trace's classes are kept.
PyObject *record_types(PyObject *args);

// A text's shaped records or its message; an escape from the engine: running
// out of memory fails the whole call, a panic is the text's message.
using Outcome = std::variant<ShapedText, std::string, Escape>;

Outcome shape_one(FontSession &session, const Text &text, const TextPlan &plan) noexcept;

// Running out of memory for any text fails the call with MemoryError.
template <class Outcomes> bool ran_out_of_memory(const Outcomes &outcomes) {
  for (const auto &outcome : outcomes)
    if (std::holds_alternative<Escape>(outcome)) return true;
  return false;
}

// (items, glyphs, stages, warnings, props) for a shaped text, its message for a
// failed one. A shaped text's glyph records are used up.
PyObject *outcome_object(Outcome &outcome, const Text &text, PyObject *names);

// props_calls.cpp: the backend's Uniscribe outputs of a shaped text as raw
// records (items' analyses and ABC widths, glyph properties, log clusters,
// character properties, break attributes or None, whether the ABC widths were asked
// for), and their unpacking.
PyObject *props_tuple(const ShapedText &shaped);

// The raw records of a bytes object of T (props_tuple's), copied out (the bytes need not
// be aligned); false with ValueError for a size that is no whole number of them.
template <class T> bool records_of(PyObject *bytes, std::vector<T> &out) {
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return false;
  if (size % static_cast<Py_ssize_t>(sizeof(T)) != 0) {
    PyErr_SetString(PyExc_ValueError, "raw Uniscribe records of a wrong size");
    return false;
  }
  out.resize(static_cast<std::size_t>(size) / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace tesvo::py
