// A Python str read as the engine reads a text: UTF-16 code units, and the
// index in the str of each.

#define PY_SSIZE_T_CLEAN
#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include "python/text_arg.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "text/utf.h"

namespace tesvo::py {

namespace {

// The index of each code unit, for a text with characters beyond the BMP:
// both units of a surrogate pair have their character's.
void index_code_units(Text &out) {
  out.index.reserve(out.units.size() + 1);
  std::uint32_t character = 0;
  for (char16_t unit : out.units) {
    out.index.push_back(character);
    if ((unit & 0xFC00) != 0xD800) ++character;  // a high surrogate shares its index with the low one after it
  }
  out.index.push_back(character);
}

// The str's UTF-16 straight from the interpreter's encoder (after the byte
// order mark it writes). False, changing nothing, for a str it refuses: one
// holding a lone surrogate.
bool read_utf16(PyObject *object, Text &out) {
  PyRef encoded(PyUnicode_AsUTF16String(object));
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (!encoded || PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0 || size < 2) {
    PyErr_Clear();
    return false;
  }
  const std::size_t units = static_cast<std::size_t>(size) / 2 - 1;
  out.units.resize(units);
  std::memcpy(out.units.data(), data + 2, units * sizeof(char16_t));
  if (units != static_cast<std::size_t>(PyUnicode_GetLength(object))) index_code_units(out);
  return true;
}

}  // namespace

bool read_text(PyObject *object, Text &out) {
  if (!PyUnicode_Check(object)) {
    out.error = "text must be str, not " + tesvo::py::type_name(object);
    return true;
  }
  if (read_utf16(object, out)) return true;
  // A str the encoder refused: its lone surrogate is named with its index.
  Py_UCS4 *code_points = PyUnicode_AsUCS4Copy(object);
  if (code_points == nullptr) return false;
  std::unique_ptr<Py_UCS4, decltype(&PyMem_Free)> owned(code_points, PyMem_Free);
  const Py_ssize_t length = PyUnicode_GetLength(object);
  out.units.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 cp = code_points[i];
    if (cp < 0xD800) {
      out.units.push_back(static_cast<char16_t>(cp));
      continue;
    }
    if (cp <= 0xDFFF) {
      out.error = "text holds a lone surrogate at index " + std::to_string(i);
      return true;
    }
    tesvo::append_utf16(out.units, cp);
  }
  if (out.units.size() != static_cast<std::size_t>(length)) index_code_units(out);
  return true;
}

}  // namespace tesvo::py
