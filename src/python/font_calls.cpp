// The calls on a font held by the engine: opening it into a session (a capsule
// that owns it), its glyph names, layout tags, language system and axes.

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
#include "font/font.h"
#include "font/fvar.h"
#include "font/layout_tags.h"
#include "output/lines.h"
#include "shape/session.h"

namespace tesvo::py {

namespace {

constexpr const char *kSessionName = "tesvo._engine.session";

}  // namespace

tesvo::FontSession *session_of(PyObject *capsule) {
  return static_cast<tesvo::FontSession *>(PyCapsule_GetPointer(capsule, kSessionName));
}

namespace {

void free_session(PyObject *capsule) {
  auto *session = static_cast<tesvo::FontSession *>(PyCapsule_GetPointer(capsule, kSessionName));
  if (session == nullptr) {
    PyErr_Clear();
    return;
  }
  // Clearing the backend's font waits for the port, which a thread may hold
  // without the interpreter lock: let it finish.
  Py_BEGIN_ALLOW_THREADS
  delete session;
  Py_END_ALLOW_THREADS
  // The font's bytes, which the session may have viewed: let go after it.
  Py_XDECREF(static_cast<PyObject *>(PyCapsule_GetContext(capsule)));
}

// The face index as the engine takes it. An int that does not fit names no
// face of any font: OverflowError in the engine's words, never the face that
// the value wrapped round to.
bool face_index(PyObject *index, std::span<const std::uint8_t> bytes, std::uint32_t &out) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  if (!PyErr_Occurred() && value <= UINT32_MAX) {
    out = static_cast<std::uint32_t>(value);
    return true;
  }
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  PyErr_Clear();
  tesvo::Result<std::uint32_t> count = tesvo::face_count(bytes);
  if (!count) {
    set_error(PyExc_RuntimeError, count.error());
    return false;
  }
  PyRef text(PyObject_Str(index));
  PyRef digits(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
  if (!digits) return false;
  set_error(PyExc_OverflowError, tesvo::face_out_of_range(PyBytes_AsString(digits.get()), *count));
  return false;
}

using Opened = tesvo::Result<std::unique_ptr<tesvo::FontSession>>;

}  // namespace

// open(data: bytes, index: int, backend: str | None)
//   -> (session, upem, glyph_count, family, backend path)
PyObject *open_font(PyObject *args) {
  PyObject *data, *index;  // data: bytes, immutable; the session's capsule keeps them
  const char *backend = nullptr;
  if (!PyArg_ParseTuple(args, "O!O!z:open", &PyBytes_Type, &data, &PyLong_Type, &index, &backend)) return nullptr;
  std::optional<std::string> library;
  if (backend != nullptr) library = backend;
  char *start = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &start, &size) != 0) return nullptr;
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(start), static_cast<std::size_t>(size));
  std::uint32_t face = 0;
  if (!face_index(index, bytes, face)) return nullptr;

  std::variant<Opened, Escape> opened = Escape::panic;
  {
    tesvo::EnvironmentCopy environment;
    tesvo::py::InterpreterReleased released;
    opened = tesvo::py::contain([&] { return tesvo::FontSession::open(bytes, face, library); });
  }
  if (const Escape *escape = std::get_if<Escape>(&opened)) return tesvo::py::escape_error(*escape);
  Opened &session = std::get<Opened>(opened);
  if (!session) return set_error(PyExc_RuntimeError, session.error());
  PyRef capsule(PyCapsule_New(session->get(), kSessionName, free_session));
  if (!capsule) return nullptr;
  tesvo::FontSession *owned = session->release();
  // The session may view the bytes instead of copying them: the capsule
  // holds them for as long as it holds the session.
  Py_INCREF(data);
  if (PyCapsule_SetContext(capsule.get(), data) != 0) {
    Py_DECREF(data);
    return nullptr;  // the capsule still frees the session
  }
  const std::string version = owned->backend_version();
  return Py_BuildValue("(OkkNsN)", capsule.get(), static_cast<unsigned long>(owned->upem()),
                       static_cast<unsigned long>(owned->glyph_count()),
                       PyUnicode_DecodeUTF8(owned->family().data(), static_cast<Py_ssize_t>(owned->family().size()), "replace"),
                       owned->backend_name().c_str(),
                       PyUnicode_DecodeUTF8(version.data(), static_cast<Py_ssize_t>(version.size()), "replace"));
}

// glyph_names(session) -> tuple of str: every glyph's name as HarfBuzz gives it, by id.
PyObject *font_glyph_names(PyObject *args) {
  PyObject *capsule;
  if (!PyArg_ParseTuple(args, "O:glyph_names", &capsule)) return nullptr;
  tesvo::FontSession *session = session_of(capsule);
  if (session == nullptr) return nullptr;
  const std::vector<std::string> &names = session->glyph_names();
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject *name = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
    if (name == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), name);
  }
  return out.release();
}

// layout_tags(session) -> (gsub, gpos), each [(script tag, has default language system,
// (language system tags...))] in the font's order.
PyObject *font_layout_tags(PyObject *args) {
  PyObject *capsule;
  if (!PyArg_ParseTuple(args, "O:layout_tags", &capsule)) return nullptr;
  tesvo::FontSession *session = session_of(capsule);
  if (session == nullptr) return nullptr;
  auto table = [](const std::vector<tesvo::LayoutScript> &scripts) -> PyObject * {
    PyRef out(PyList_New(static_cast<Py_ssize_t>(scripts.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < scripts.size(); ++i) {
      PyRef languages(PyTuple_New(static_cast<Py_ssize_t>(scripts[i].languages.size())));
      if (!languages) return nullptr;
      for (std::size_t k = 0; k < scripts[i].languages.size(); ++k) {
        const std::string &tag = scripts[i].languages[k];
        PyObject *text = PyUnicode_DecodeLatin1(tag.data(), static_cast<Py_ssize_t>(tag.size()), nullptr);
        if (text == nullptr) return nullptr;
        PyTuple_SetItem(languages.get(), static_cast<Py_ssize_t>(k), text);
      }
      const std::string &tag = scripts[i].tag;
      PyObject *entry = Py_BuildValue("(NOO)", PyUnicode_DecodeLatin1(tag.data(), static_cast<Py_ssize_t>(tag.size()), nullptr),
                                      scripts[i].has_default_language ? Py_True : Py_False, languages.get());
      if (entry == nullptr) return nullptr;
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return out.release();
  };
  const tesvo::LayoutTags &tags = session->layout();
  PyRef gsub(table(tags.gsub));
  if (!gsub) return nullptr;
  PyRef gpos(table(tags.gpos));
  if (!gpos) return nullptr;
  return PyTuple_Pack(2, gsub.get(), gpos.get());
}

// language_tag(session, language) -> the language system tag a --language value selects
// (an OpenType tag as given, a BCP 47 code as the backend maps it), "" for the default.
PyObject *language_tag(PyObject *args) {
  PyObject *capsule;
  const char *language;
  if (!PyArg_ParseTuple(args, "Os:language_tag", &capsule, &language)) return nullptr;
  tesvo::FontSession *session = session_of(capsule);
  if (session == nullptr) return nullptr;
  tesvo::TextOptions options;
  options.language = language;
  tesvo::Result<tesvo::TextPlan> plan = session->plan(options);
  if (!plan) return set_error(PyExc_ValueError, plan.error());
  const std::string tag = plan->language == kTagDflt ? std::string() : tesvo::tag_text(plan->language);
  return PyUnicode_DecodeLatin1(tag.data(), static_cast<Py_ssize_t>(tag.size()), nullptr);
}

// coordinates(session, variations) -> [(design, normalized)] per fvar axis at that
// location, as the backend reports them: 16.16 and 2.14 fixed-point integers.
PyObject *axis_coordinates(PyObject *args) {
  PyObject *capsule;
  const char *variations;
  if (!PyArg_ParseTuple(args, "Os:coordinates", &capsule, &variations)) return nullptr;
  tesvo::FontSession *session = session_of(capsule);
  if (session == nullptr) return nullptr;
  tesvo::TextOptions options;
  options.variations = variations;
  tesvo::Result<tesvo::TextPlan> plan = session->plan(options);
  if (!plan) return set_error(PyExc_ValueError, plan.error());
  using Coordinates = tesvo::Result<std::vector<tesvo::AxisCoordinate>>;
  std::variant<Coordinates, Escape> got = Escape::panic;
  {
    tesvo::EnvironmentCopy environment;
    tesvo::py::InterpreterReleased released;
    got = tesvo::py::contain([&] { return session->coordinates(*plan); });
  }
  if (const Escape *escape = std::get_if<Escape>(&got)) return tesvo::py::escape_error(*escape);
  Coordinates &coords = std::get<Coordinates>(got);
  if (!coords) return set_error(PyExc_ValueError, coords.error());
  PyRef out(PyList_New(static_cast<Py_ssize_t>(coords->size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < coords->size(); ++i) {
    PyObject *pair = Py_BuildValue("(ll)", static_cast<long>((*coords)[i].design), static_cast<long>((*coords)[i].normalized));
    if (pair == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return out.release();
}

// feature_tags(data, index) -> tuple of str, or None: the feature tags face
// `index` can apply (font/layout_tags.h); None where the font does not say.
PyObject *font_feature_tags(PyObject *args) {
  PyObject *data;
  unsigned int index = 0;
  if (!PyArg_ParseTuple(args, "O!I:feature_tags", &PyBytes_Type, &data, &index)) return nullptr;
  char *start = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &start, &size) != 0) return nullptr;
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(start), static_cast<std::size_t>(size));
  tesvo::Result<tesvo::FontBytes> face = tesvo::face_bytes(bytes, index);
  if (!face) Py_RETURN_NONE;
  const std::optional<std::vector<std::string>> tags = tesvo::layout_features(face->span());
  if (!tags) Py_RETURN_NONE;
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(tags->size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < tags->size(); ++i) {
    PyObject *tag = PyUnicode_DecodeLatin1((*tags)[i].data(), static_cast<Py_ssize_t>((*tags)[i].size()), nullptr);
    if (tag == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), tag);
  }
  return out.release();
}

// axis_tags(data, index) -> tuple of str: the tags of face `index`'s fvar axes
// as HarfBuzz takes the table (empty for a static font, and for a face that
// cannot be read).
PyObject *font_axis_tags(PyObject *args) {
  PyObject *data;
  unsigned int index = 0;
  if (!PyArg_ParseTuple(args, "O!I:axis_tags", &PyBytes_Type, &data, &index)) return nullptr;
  char *start = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &start, &size) != 0) return nullptr;
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(start), static_cast<std::size_t>(size));
  tesvo::Result<tesvo::FontBytes> face = tesvo::face_bytes(bytes, index);
  const std::vector<std::uint32_t> tags =
      face ? tesvo::fvar_axis_tags(face->span()) : std::vector<std::uint32_t>{};
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(tags.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    char text[4];
    for (int k = 0; k < 4; ++k) text[k] = static_cast<char>((tags[i] >> (8 * (3 - k))) & 0xFF);
    PyObject *tag = PyUnicode_DecodeLatin1(text, 4, nullptr);
    if (tag == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), tag);
  }
  return out.release();
}

}  // namespace tesvo::py
