// The calls that shape a run of texts: into records (shape) or into the
// compatibility call's documents (document).

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
#include "python/records.h"
#include "shape/session.h"

namespace tesvo::py {

bool read_call(PyObject *capsule, PyObject *texts, const tesvo::TextOptions &options, Call &call) {
  call.session = session_of(capsule);
  if (call.session == nullptr) return false;
  tesvo::Result<tesvo::TextPlan> plan = call.session->plan(options);
  if (!plan) {
    set_error(PyExc_ValueError, plan.error());
    return false;
  }
  call.plan = std::move(*plan);
  const Py_ssize_t count = PyList_Size(texts);
  call.inputs.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!read_text(PyList_GetItem(texts, i), call.inputs[static_cast<std::size_t>(i)])) return false;
  return true;
}


// shape(session, texts: list[str], direction, features, script, language, variations, trace, names,
//       extras=False) -> list of (items, glyphs, stages, warnings, props) or error message, one per text.
// Bad options raise ValueError before any text is shaped.
PyObject *shape_texts(PyObject *args) {
  PyObject *capsule, *texts;
  const char *direction, *features, *script, *language, *variations;
  int trace = 0, extras = 0;
  PyObject *names;  // the font's glyph names, from glyph_names()
  if (!PyArg_ParseTuple(args, "OO!ssssspO!|p:shape", &capsule, &PyList_Type, &texts, &direction, &features, &script,
                        &language, &variations, &trace, &PyTuple_Type, &names, &extras))
    return nullptr;
  Call call;
  if (!read_call(capsule, texts,
                 tesvo::TextOptions{direction, features, script, language, variations, trace != 0, extras != 0}, call))
    return nullptr;

  std::vector<Outcome> outcomes(call.inputs.size());
  without_interpreter(outcomes.size(),
                      [&](std::size_t i) { outcomes[i] = shape_one(*call.session, call.inputs[i], *call.plan); });
  if (ran_out_of_memory(outcomes)) return PyErr_NoMemory();

  PyRef out(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    PyObject *object = outcome_object(outcomes[i], call.inputs[i], names);
    if (object == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), object);
    outcomes[i] = std::string();  // freed as soon as it is converted
  }
  return out.release();
}

// A text's document as JSON text, laid out or compact, or its message.
using Document = std::variant<tesvo::JsonText, std::string, Escape>;

Document document_one(tesvo::FontSession &session, const Text &text, const tesvo::TextPlan &plan,
                      const std::string &path, bool compact) noexcept {
  if (text.error) return *text.error;
  auto made = tesvo::py::contain([&]() -> Document {
    tesvo::Result<tesvo::JsonText> json = session.document(text.units, plan, path, compact);
    if (!json) return json.error();
    return std::move(json.value());
  });
  if (const Escape *escape = std::get_if<Escape>(&made))
    return *escape == Escape::panic ? Document(std::string(tesvo::py::kPanicMessage)) : Document(*escape);
  return std::move(std::get<Document>(made));
}

namespace {

// (True, JSON text) or (False, message).
PyObject *document_object(const Document &document) {
  auto pair = [](bool ok, std::string_view text) {
    PyObject *decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), ok ? "strict" : "replace");
    return Py_BuildValue("(ON)", ok ? Py_True : Py_False, decoded);
  };
  if (const auto *json = std::get_if<tesvo::JsonText>(&document)) return pair(true, json->view());
  return pair(false, std::get<std::string>(document));
}

}  // namespace

// document(session, texts, direction, features, script, language, variations, trace, path, compact)
//   -> list of (True, JSON text) or (False, error message), one per text: the
// compatibility call's document, its automatic direction included; compact
// leaves out the layout (as json.dumps with separators=(",", ":")).
PyObject *document_texts(PyObject *args) {
  PyObject *capsule, *texts;
  const char *direction, *features, *script, *language, *variations, *path;
  int trace = 0, compact = 0;
  if (!PyArg_ParseTuple(args, "OO!ssssspzp:document", &capsule, &PyList_Type, &texts, &direction, &features,
                        &script, &language, &variations, &trace, &path, &compact))
    return nullptr;
  Call call;
  if (!read_call(capsule, texts, tesvo::TextOptions{direction, features, script, language, variations, trace != 0},
                 call))
    return nullptr;
  if (call.plan->direction == tesvo::ParagraphDirection::first_strong)
    call.plan->direction = tesvo::ParagraphDirection::any_rtl_block;
  const std::string font_path = path != nullptr ? path : "";

  std::vector<Document> outcomes(call.inputs.size());
  without_interpreter(outcomes.size(), [&](std::size_t i) {
    outcomes[i] = document_one(*call.session, call.inputs[i], *call.plan, font_path, compact != 0);
  });
  if (ran_out_of_memory(outcomes)) return PyErr_NoMemory();

  PyRef out(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    PyObject *object = document_object(outcomes[i]);
    if (object == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), object);
    outcomes[i] = std::string();
  }
  return out.release();
}

}  // namespace tesvo::py
