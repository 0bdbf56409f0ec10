// Reading the package's records into what the schema's writer takes.
#pragma once

#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include <string>
#include <vector>

#include "output/package_json.h"

namespace tesvo::py {

// A FontInfo, an Options and a location (AxisLocation records) as the head of
// the records; false with an exception set.
bool read_result_head(PyObject *font, PyObject *options, PyObject *location, ResultHead &out);

// A sequence of str as UTF-8.
bool read_strings(PyObject *sequence, std::vector<std::string> &out);

// result_json(result) -> str: a Result in the package's schema, compact.
PyObject *result_json(PyObject *args);

}  // namespace tesvo::py
