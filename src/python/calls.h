// The functions of tesvo._engine, each taking its arguments tuple, and what
// the calls that shape share: the session a capsule holds, the texts and plan
// of a call, and running without the interpreter lock.
#pragma once

#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/environment.h"
#include "json/writer.h"
#include "python/text_arg.h"
#include "shape/session.h"

namespace tesvo::py {

// The session a capsule of open() holds; null with an exception set.
FontSession *session_of(PyObject *capsule);

// The session and options of shape, document and lines.
struct Call {
  FontSession *session = nullptr;
  std::optional<TextPlan> plan;
  std::vector<Text> inputs;
};

// False with an exception set: ValueError for bad options.
bool read_call(PyObject *capsule, PyObject *texts, const TextOptions &options, Call &call);

// Runs work(i) for every text without the interpreter lock, reading the
// engine's environment as it was when the call began. work must not throw.
template <class Work> void without_interpreter(std::size_t count, Work work) {
  EnvironmentCopy environment;
  InterpreterReleased released;
  for (std::size_t i = 0; i < count; ++i) work(i);
}

// A text's compatibility document as JSON text, laid out or compact, or its message.
using Document = std::variant<JsonText, std::string, Escape>;
Document document_one(FontSession &session, const Text &text, const TextPlan &plan, const std::string &path,
                      bool compact) noexcept;

// font_calls.cpp
PyObject *open_font(PyObject *args);
PyObject *font_glyph_names(PyObject *args);
PyObject *font_layout_tags(PyObject *args);
PyObject *language_tag(PyObject *args);
PyObject *axis_coordinates(PyObject *args);
PyObject *font_axis_tags(PyObject *args);
PyObject *font_feature_tags(PyObject *args);
// shape_calls.cpp
PyObject *shape_texts(PyObject *args);
PyObject *document_texts(PyObject *args);
// props_calls.cpp
PyObject *unpack_items(PyObject *args);
PyObject *analysis_fields(PyObject *args);
PyObject *unpack_glyphs(PyObject *args);
PyObject *unpack_chars(PyObject *args);
// line_calls.cpp
PyObject *batch_lines(PyObject *args);
PyObject *glyph_notation(PyObject *args);
PyObject *levels_visual_order(PyObject *args);
// parse_calls.cpp
PyObject *parse_feature_list(PyObject *args);
PyObject *parse_variation_list(PyObject *args);
PyObject *compat_rtl(PyObject *args);
PyObject *first_strong_rtl(PyObject *args);

}  // namespace tesvo::py
