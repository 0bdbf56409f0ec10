// Reading the package's records into what the schema's writer takes.
#pragma once

#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "output/package_json.h"

namespace tesvo::py {

// A FontInfo, an Options and a location (AxisLocation records) as the head of
// the records; false with an exception set.
bool read_result_head(PyObject *font, PyObject *options, PyObject *location, ResultHead &out);

// A Result's glyphs as the writers read them: from a GlyphRun in place (each
// name decoded once per glyph id), or from any sequence of Glyph records.
struct GlyphRows {
  std::vector<JsonGlyph> glyphs;  // their names view `names`
  std::unordered_map<std::int64_t, std::string> by_id;  // a GlyphRun's names
  std::deque<std::string> names;                        // other records' names
};
bool read_glyphs(PyObject *sequence, GlyphRows &out);

// A sequence of str as UTF-8.
bool read_strings(PyObject *sequence, std::vector<std::string> &out);

// result_json(result) -> str: a Result in the package's schema, compact.
PyObject *result_json(PyObject *args);

}  // namespace tesvo::py
