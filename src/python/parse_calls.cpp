// The engine's readers of option syntax, for callers that hand the same options
// to another engine: features, locations and the compatibility call's automatic
// direction.

#define PY_SSIZE_T_CLEAN
#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include "python/calls.h"

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

#include "text/features.h"
#include "text/paragraph.h"
#include "text/variations.h"
#include "python/text_arg.h"

namespace tesvo::py {

namespace {

// [(tag, value)] from parsed records: the tag as its four characters, the value as
// `value_of` makes it from a record (a new reference, stolen).
template <class Records, class Value> PyObject *tag_pairs(const Records &records, Value value_of) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    auto [tag, value] = value_of(records[i]);
    char text[4];
    for (int k = 0; k < 4; ++k) text[k] = static_cast<char>((tag >> (8 * k)) & 0xFF);
    // Latin-1: a tag's bytes one character each, as axis_tags gives a font's.
    PyObject *pair = Py_BuildValue("(NN)", PyUnicode_DecodeLatin1(text, 4, nullptr), value);
    if (pair == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return out.release();
}

}  // namespace

// The feature list as the engine reads it, for callers that hand the same features to
// another engine (a comparison with HarfBuzz): [(tag, value)], tags of four characters.
// With `ranges`, the list may hold ranges as the package takes them, and their
// features follow the whole-text ones.
PyObject *parse_feature_list(PyObject *args) {
  const char *text;
  int ranges = 0;
  if (!PyArg_ParseTuple(args, "s|p:parse_features", &text, &ranges)) return nullptr;
  tesvo::FeatureList records;
  if (ranges != 0) {
    tesvo::Result<tesvo::FeatureSet> parsed = tesvo::parse_feature_set(text);
    if (!parsed) return set_error(PyExc_ValueError, parsed.error());
    records = std::move(parsed->whole);
    for (const tesvo::RangedFeature &f : parsed->ranged) records.push_back(f.record);
  } else {
    tesvo::Result<tesvo::FeatureList> parsed = tesvo::parse_features(text);
    if (!parsed) return set_error(PyExc_ValueError, parsed.error());
    records = std::move(*parsed);
  }
  return tag_pairs(records, [](const OPENTYPE_FEATURE_RECORD &record) {
    return std::pair(record.tagFeature, PyLong_FromLong(static_cast<long>(record.lParameter)));
  });
}

// A location as the engine reads it: [(tag, value)] in the order given, a repeated tag
// holding its later value.
PyObject *parse_variation_list(PyObject *args) {
  const char *text;
  if (!PyArg_ParseTuple(args, "s:parse_variations", &text)) return nullptr;
  tesvo::Result<tesvo::Location> parsed = tesvo::parse_variations(text);
  if (!parsed) return set_error(PyExc_ValueError, parsed.error());
  return tag_pairs(*parsed, [](const tesvo::AxisValue &axis) {
    return std::pair(axis.tag, PyFloat_FromDouble(axis.value / 65536.0));
  });
}

namespace {

// Whether a text's paragraph is right to left by `rule`.
PyObject *paragraph_rtl(PyObject *args, const char *format, bool (*rule)(std::u16string_view)) {
  PyObject *object;
  if (!PyArg_ParseTuple(args, format, &object)) return nullptr;
  Text text;
  if (!read_text(object, text)) return nullptr;
  if (text.error) return set_error(PyExc_ValueError, *text.error);
  return PyBool_FromLong(rule(text.units));
}

}  // namespace

// The paragraph direction the compatibility call's automatic rule gives a text (right to
// left when it holds a character of the right-to-left blocks), for callers that shape the
// same text through the package and need the same items as that call's document.
PyObject *compat_rtl(PyObject *args) {
  return paragraph_rtl(args, "U:compat_rtl",
                       [](std::u16string_view text) { return tesvo::direction_is_rtl("auto", text) != 0; });
}

// The package's automatic paragraph direction of a text: right to left when its first strong
// character is.
PyObject *first_strong_rtl(PyObject *args) {
  return paragraph_rtl(args, "U:first_strong_rtl", tesvo::first_strong_is_rtl);
}

}  // namespace tesvo::py
