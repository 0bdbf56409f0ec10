// A Python str as the engine reads a text: its UTF-16 code units, and for a
// str with characters beyond the BMP the index in the str of each unit.
#pragma once

#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tesvo::py {

struct Text {
  std::u16string units;
  // One per code unit, and one past the end; empty when every character is one
  // code unit (the index is the code unit's).
  std::vector<std::uint32_t> index;
  std::optional<std::string> error;

  std::uint32_t at(std::size_t unit) const { return index.empty() ? static_cast<std::uint32_t>(unit) : index[unit]; }
};

// Reads `object` into `out`. A text the engine cannot take (not a str, or a
// str with a lone surrogate) is read as its message in out.error; false only
// with a Python exception set.
bool read_text(PyObject *object, Text &out);

}  // namespace tesvo::py
