// What the engine writes of shaped lines for Python: tesvo --batch's lines for
// a chunk of texts (hb-shape's notation or JSON Lines records in either schema),
// and the notation and visual order of a result the package holds.

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

#include "base/environment.h"
#include "output/lines.h"
#include "output/notation.h"
#include "text/visual_order.h"
#include "python/records.h"
#include "python/result_json.h"
#include "shape/session.h"

namespace tesvo::py {

namespace {

// What lines() writes for each text: hb-shape's notation, or a JSON Lines
// record holding the compatibility call's document or the package's result.
struct LineForm {
  enum class Kind { notation, document, result } kind = Kind::notation;
  tesvo::NotationParts parts;
  std::string path;  // document: the font as the document names it
  tesvo::HeadJson head;                  // result: what every record shares
  std::vector<std::string> warnings;     // result: the warnings of the options, on every record
};

// ("text", names, clusters, positions, advances), ("shape_json", path) or
// ("tesvo", FontInfo, Options, location, warnings).
bool read_form(PyObject *form, LineForm &out) {
  PyObject *kind = PyTuple_Size(form) > 0 ? PyTuple_GetItem(form, 0) : nullptr;
  auto is = [&](const char *name) {
    return kind != nullptr && PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, name) == 0;
  };
  const char *word = nullptr;
  if (is("text")) {
    int names = 1, clusters = 1, positions = 1, advances = 1;
    if (!PyArg_ParseTuple(form, "spppp:lines", &word, &names, &clusters, &positions, &advances)) return false;
    out.kind = LineForm::Kind::notation;
    out.parts = tesvo::NotationParts{names != 0, clusters != 0, positions != 0, advances != 0};
    return true;
  }
  if (is("shape_json")) {
    const char *path = nullptr;
    if (!PyArg_ParseTuple(form, "sz:lines", &word, &path)) return false;
    out.kind = LineForm::Kind::document;
    out.path = path != nullptr ? path : "";
    return true;
  }
  if (is("tesvo")) {
    PyObject *font, *options, *location, *warnings;
    if (!PyArg_ParseTuple(form, "sOOOO:lines", &word, &font, &options, &location, &warnings)) return false;
    out.kind = LineForm::Kind::result;
    tesvo::ResultHead head;
    if (!read_result_head(font, options, location, head) || !read_strings(warnings, out.warnings)) return false;
    out.head = tesvo::head_json(head);
    return true;
  }
  PyErr_SetString(PyExc_ValueError, "lines: the form is (\"text\", ...), (\"shape_json\", ...) or (\"tesvo\", ...)");
  return false;
}

// The lines of a chunk and how many of its texts failed.
struct Lines {
  std::string bytes;
  Py_ssize_t failed = 0;
};

// Shapes and writes every text of the call, one line each. Runs without the
// interpreter; running out of memory for any text throws, and fails the call.
Lines write_lines(const Call &call, const LineForm &form, std::span<const std::string> names,
                  unsigned long long first) {
  Lines out;
  for (std::size_t i = 0; i < call.inputs.size(); ++i) {
    const Text &text = call.inputs[i];
    const tesvo::LineSource source{text.units, tesvo::CodePointIndex{text.index}, names};
    const std::uint64_t line = first + i;
    if (form.kind == LineForm::Kind::document) {
      const Document document = document_one(*call.session, text, *call.plan, form.path, true);
      if (std::holds_alternative<Escape>(document)) throw std::bad_alloc();
      if (const auto *message = std::get_if<std::string>(&document)) {
        tesvo::append_error_record(out.bytes, line, source, *message);
        ++out.failed;
      } else {
        tesvo::append_document_record(out.bytes, line, source, std::get<tesvo::JsonText>(document).view());
      }
      out.bytes += '\n';
      continue;
    }
    const Outcome outcome = shape_one(*call.session, text, *call.plan);
    if (std::holds_alternative<Escape>(outcome)) throw std::bad_alloc();
    if (const auto *message = std::get_if<std::string>(&outcome)) {
      // A failed text is an empty line of the notation.
      if (form.kind == LineForm::Kind::result) tesvo::append_error_record(out.bytes, line, source, *message);
      ++out.failed;
    } else if (form.kind == LineForm::Kind::notation) {
      tesvo::append_notation(out.bytes, std::get<tesvo::ShapedText>(outcome), source, form.parts);
    } else {
      tesvo::append_result_record(out.bytes, line, std::get<tesvo::ShapedText>(outcome), source, form.head,
                                  form.warnings);
    }
    out.bytes += '\n';
  }
  return out;
}

}  // namespace

// lines(session, texts, direction, features, script, language, variations, trace, first, form)
//   -> (bytes, failed): tesvo --batch's output for the texts, numbered from
// `first`, as UTF-8, one line per text in the form asked for, and how many
// texts failed. The shape_json form decides the automatic direction as that
// call does. Every text must be a str (TypeError) without lone surrogates
// (UnicodeError), as decoded from UTF-8.
PyObject *batch_lines(PyObject *args) {
  PyObject *capsule, *texts, *form_tuple;
  const char *direction, *features, *script, *language, *variations;
  int trace = 0;
  unsigned long long first = 1;
  if (!PyArg_ParseTuple(args, "OO!ssssspKO!:lines", &capsule, &PyList_Type, &texts, &direction, &features, &script,
                        &language, &variations, &trace, &first, &PyTuple_Type, &form_tuple))
    return nullptr;
  LineForm form;
  if (!read_form(form_tuple, form)) return nullptr;
  Call call;
  if (!read_call(capsule, texts, tesvo::TextOptions{direction, features, script, language, variations, trace != 0},
                 call))
    return nullptr;
  for (std::size_t i = 0; i < call.inputs.size(); ++i) {
    if (!call.inputs[i].error) continue;
    const bool str = PyUnicode_Check(PyList_GetItem(texts, static_cast<Py_ssize_t>(i)));
    const std::string message = "text " + std::to_string(i) + ": " + *call.inputs[i].error;
    return set_error(str ? PyExc_UnicodeError : PyExc_TypeError, message);
  }
  std::span<const std::string> names;
  if (form.kind == LineForm::Kind::document) {
    if (call.plan->direction == tesvo::ParagraphDirection::first_strong)
      call.plan->direction = tesvo::ParagraphDirection::any_rtl_block;
  } else {
    names = call.session->glyph_names();
  }

  std::variant<Lines, Escape> written = Escape::panic;
  {
    tesvo::EnvironmentCopy environment;
    tesvo::py::InterpreterReleased released;
    written = tesvo::py::contain([&] { return write_lines(call, form, names, first); });
  }
  if (const Escape *escape = std::get_if<Escape>(&written)) return tesvo::py::escape_error(*escape);
  const Lines &lines = std::get<Lines>(written);
  return Py_BuildValue("(y#n)", lines.bytes.data(), static_cast<Py_ssize_t>(lines.bytes.size()), lines.failed);
}

namespace {

// Levels from a sequence of ints, each 0 to 255; false with ValueError.
bool read_levels(PyObject *sequence, std::vector<std::uint8_t> &out) {
  const Py_ssize_t count = PySequence_Size(sequence);
  if (count < 0) return false;
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item(PySequence_GetItem(sequence, i));
    if (!item) return false;
    const long level = PyLong_AsLong(item.get());
    if (level == -1 && PyErr_Occurred()) return false;
    if (level < 0 || level > 255) {
      set_error(PyExc_ValueError, "a bidi level is 0 to 255, not " + std::to_string(level));
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(level));
  }
  return true;
}

// A result's glyphs as the notation reads them (read_glyphs).
class RecordNotation final : public tesvo::NotationSource {
 public:
  explicit RecordNotation(const GlyphRows &rows) : rows_(rows) {}
  std::size_t size() const override { return rows_.glyphs.size(); }
  tesvo::NotationGlyph glyph(std::size_t i) const override {
    const tesvo::JsonGlyph &g = rows_.glyphs[i];
    auto i32 = [](std::int64_t x) { return static_cast<std::int32_t>(x); };
    return {static_cast<std::uint32_t>(g.id), g.cluster, i32(g.advance), i32(g.x_offset), i32(g.y_offset),
            static_cast<std::uint32_t>(g.item)};
  }
  std::string_view name(std::size_t i) const override { return rows_.glyphs[i].name; }

 private:
  const GlyphRows &rows_;
};

}  // namespace

PyObject *glyph_notation(PyObject *args) {
  PyObject *glyphs, *levels_of;
  int names = 1, clusters = 1, positions = 1, advances = 1;
  if (!PyArg_ParseTuple(args, "OOpppp:notation", &glyphs, &levels_of, &names, &clusters, &positions, &advances))
    return nullptr;
  std::vector<std::uint8_t> levels;
  if (!read_levels(levels_of, levels)) return nullptr;
  GlyphRows rows;
  if (!read_glyphs(glyphs, rows)) return nullptr;
  for (std::size_t i = 0; i < rows.glyphs.size(); ++i) {
    const std::int64_t item = rows.glyphs[i].item;
    if (item < 0 || static_cast<std::uint64_t>(item) >= levels.size())
      return set_error(PyExc_ValueError, "glyph " + std::to_string(i) + ": item " + std::to_string(item) +
                                             " is not one of the " + std::to_string(levels.size()) + " items");
  }
  const RecordNotation source(rows);
  std::string out;
  tesvo::append_notation(out, source, levels, tesvo::NotationParts{names != 0, clusters != 0, positions != 0, advances != 0});
  return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
}

PyObject *levels_visual_order(PyObject *args) {
  PyObject *levels_of;
  if (!PyArg_ParseTuple(args, "O:visual_order", &levels_of)) return nullptr;
  std::vector<std::uint8_t> levels;
  if (!read_levels(levels_of, levels)) return nullptr;
  const std::vector<std::uint32_t> order = tesvo::visual_order(levels);
  PyRef out(PyList_New(static_cast<Py_ssize_t>(order.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < order.size(); ++i) {
    PyObject *index = PyLong_FromUnsignedLong(order[i]);
    if (index == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), index);
  }
  return out.release();
}

}  // namespace tesvo::py
