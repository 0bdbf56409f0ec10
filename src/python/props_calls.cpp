// The backend's own Uniscribe outputs of a shaped text, as tesvo._engine hands
// them out: raw records copied once, and unpacked into int32 columns only when
// the package first reads them.

#define PY_SSIZE_T_CLEAN
#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include <cstdint>
#include <cstring>
#include <vector>

#include "python/calls.h"
#include "python/records.h"

namespace tesvo::py {

namespace {

// A new bytes object holding `count` records of T, copied.
template <class T> PyObject *raw_bytes(const T *data, std::size_t count) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(count * sizeof(T)));
}

constexpr int kMostColumns = 19;

// Columns of int32, `columns` (at most kMostColumns) of them with `count`
// values each, written by `write(k, row)` for each record k into row[0..columns).
template <class Write> PyObject *int_columns(std::size_t count, int columns, Write write) {
  PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * static_cast<std::size_t>(columns) * 4)));
  if (!out) return nullptr;
  auto *data = reinterpret_cast<std::int32_t *>(PyBytes_AsString(out.get()));
  std::int32_t row[kMostColumns];
  for (std::size_t k = 0; k < count; ++k) {
    write(k, row);
    for (int c = 0; c < columns; ++c) data[static_cast<std::size_t>(c) * count + k] = row[c];
  }
  return out.release();
}

// SCRIPT_ANALYSIS's fields, then SCRIPT_STATE's, in the order of the
// package's Analysis record.
constexpr int kAnalysisFields = 16;
void analysis_values(const SCRIPT_ANALYSIS &a, std::int32_t *out) {
  const std::int32_t values[kAnalysisFields] = {
      a.eScript,           a.fRTL,         a.fLayoutRTL,        a.fLinkBefore,         a.fLinkAfter,
      a.fLogicalOrder,     a.fNoGlyphIndex, a.s.uBidiLevel,     a.s.fOverrideDirection, a.s.fInhibitSymSwap,
      a.s.fCharShape,      a.s.fDigitSubstitute, a.s.fInhibitLigate, a.s.fDisplayZWG, a.s.fArabicNumContext,
      a.s.fGcpClusters};
  std::memcpy(out, values, sizeof values);
}

}  // namespace

PyObject *props_tuple(const ShapedText &shaped) {
  std::vector<std::uint8_t> items(shaped.item_props.size() * (sizeof(SCRIPT_ANALYSIS) + sizeof(ABC)));
  for (std::size_t i = 0; i < shaped.item_props.size(); ++i) {
    std::uint8_t *at = items.data() + i * (sizeof(SCRIPT_ANALYSIS) + sizeof(ABC));
    std::memcpy(at, &shaped.item_props[i].analysis, sizeof(SCRIPT_ANALYSIS));
    std::memcpy(at + sizeof(SCRIPT_ANALYSIS), &shaped.item_props[i].abc, sizeof(ABC));
  }
  PyRef item_bytes(raw_bytes(items.data(), items.size()));
  PyRef glyphs(item_bytes ? raw_bytes(shaped.glyph_props.data(), shaped.glyph_props.size()) : nullptr);
  PyRef clusters(glyphs ? raw_bytes(shaped.log_clusters.data(), shaped.log_clusters.size()) : nullptr);
  PyRef chars(clusters ? raw_bytes(shaped.char_props.data(), shaped.char_props.size()) : nullptr);
  if (!chars) return nullptr;
  PyRef breaks(shaped.breaks.empty() ? (Py_INCREF(Py_None), Py_None)
                                     : raw_bytes(shaped.breaks.data(), shaped.breaks.size()));
  if (!breaks) return nullptr;
  return PyTuple_Pack(6, item_bytes.get(), glyphs.get(), clusters.get(), chars.get(), breaks.get(),
                      shaped.widths ? Py_True : Py_False);
}

// analysis_fields(bits) -> tuple of 16 ints: an Item's SCRIPT_ANALYSIS (its
// four bytes as one number, Item._analysis) field by field.
PyObject *analysis_fields(PyObject *args) {
  unsigned long bits = 0;
  if (!PyArg_ParseTuple(args, "k:analysis_fields", &bits)) return nullptr;
  if (bits > 0xFFFFFFFFUL) {
    PyErr_SetString(PyExc_ValueError, "an analysis is four bytes");
    return nullptr;
  }
  SCRIPT_ANALYSIS a;
  const auto word = static_cast<std::uint32_t>(bits);
  std::memcpy(&a, &word, sizeof a);
  std::int32_t values[kAnalysisFields];
  analysis_values(a, values);
  PyRef out(PyTuple_New(kAnalysisFields));
  if (!out) return nullptr;
  for (int k = 0; k < kAnalysisFields; ++k) {
    PyObject *value = PyLong_FromLong(values[k]);
    if (value == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), k, value);
  }
  return out.release();
}

// unpack_items(raw) -> bytes: per item 19 int32 columns (SCRIPT_ANALYSIS's
// fields, SCRIPT_STATE's, then ABC's).
PyObject *unpack_items(PyObject *args) {
  PyObject *raw;
  if (!PyArg_ParseTuple(args, "O!:unpack_items", &PyBytes_Type, &raw)) return nullptr;
  static_assert(sizeof(SCRIPT_ANALYSIS) + sizeof(ABC) == 16);
  std::vector<std::uint8_t> bytes;
  if (!records_of(raw, bytes)) return nullptr;
  if (bytes.size() % 16 != 0) {
    PyErr_SetString(PyExc_ValueError, "raw item records of a wrong size");
    return nullptr;
  }
  return int_columns(bytes.size() / 16, kMostColumns, [&](std::size_t k, std::int32_t *row) {
    SCRIPT_ANALYSIS a;
    ABC abc;
    std::memcpy(&a, bytes.data() + k * 16, sizeof a);
    std::memcpy(&abc, bytes.data() + k * 16 + sizeof a, sizeof abc);
    analysis_values(a, row);
    row[kAnalysisFields] = abc.abcA;
    row[kAnalysisFields + 1] = static_cast<std::int32_t>(abc.abcB);
    row[kAnalysisFields + 2] = abc.abcC;
  });
}

// unpack_glyphs(raw) -> bytes: per glyph 4 int32 columns (uJustification,
// fClusterStart, fDiacritic, fZeroWidth).
PyObject *unpack_glyphs(PyObject *args) {
  PyObject *raw;
  if (!PyArg_ParseTuple(args, "O!:unpack_glyphs", &PyBytes_Type, &raw)) return nullptr;
  std::vector<SCRIPT_GLYPHPROP> props;
  if (!records_of(raw, props)) return nullptr;
  return int_columns(props.size(), 4, [&](std::size_t k, std::int32_t *row) {
    const SCRIPT_VISATTR &v = props[k].sva;
    row[0] = v.uJustification;
    row[1] = v.fClusterStart;
    row[2] = v.fDiacritic;
    row[3] = v.fZeroWidth;
  });
}

// unpack_chars(log_clusters, char_props, breaks or None) -> bytes: per UTF-16
// code unit 7 int32 columns: the log cluster, fCanGlyphAlone, then
// SCRIPT_LOGATTR's fSoftBreak, fWhiteSpace, fCharStop, fWordStop, fInvalid
// (-1 without breaks).
PyObject *unpack_chars(PyObject *args) {
  PyObject *clusters_raw, *chars_raw, *breaks_raw;
  if (!PyArg_ParseTuple(args, "O!O!O:unpack_chars", &PyBytes_Type, &clusters_raw, &PyBytes_Type, &chars_raw,
                        &breaks_raw))
    return nullptr;
  std::vector<WORD> clusters;
  std::vector<SCRIPT_CHARPROP> chars;
  std::vector<SCRIPT_LOGATTR> breaks;
  if (!records_of(clusters_raw, clusters) || !records_of(chars_raw, chars)) return nullptr;
  if (breaks_raw != Py_None && !records_of(breaks_raw, breaks)) return nullptr;
  const std::size_t n = clusters.size();
  if (chars.size() != n || (!breaks.empty() && breaks.size() != n)) {
    PyErr_SetString(PyExc_ValueError, "raw character records of different lengths");
    return nullptr;
  }
  return int_columns(n, 7, [&](std::size_t u, std::int32_t *row) {
    row[0] = clusters[u];
    row[1] = chars[u].fCanGlyphAlone;
    if (breaks.empty()) {
      for (int c = 2; c < 7; ++c) row[c] = -1;
      return;
    }
    const SCRIPT_LOGATTR &b = breaks[u];
    row[2] = b.fSoftBreak;
    row[3] = b.fWhiteSpace;
    row[4] = b.fCharStop;
    row[5] = b.fWordStop;
    row[6] = b.fInvalid;
  });
}

}  // namespace tesvo::py
