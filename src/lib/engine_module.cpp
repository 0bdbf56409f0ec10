// The Python surface of tesvo._engine, the native part of the tesvo package:
// a font held by the engine, texts shaped into structured records or result
// documents, and the engine's feature parser and automatic direction. Like
// module.cpp it talks to the interpreter and leaves the work to the engine
// beneath, which runs without the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "lib/environment.h"
#include "lib/features.h"
#include "lib/font.h"
#include "lib/lines.h"
#include "lib/paragraph.h"
#include "lib/py_boundary.h"
#include "lib/py_glyph_record.h"
#include "lib/py_glyph_run.h"
#include "lib/py_stage_glyphs.h"
#include "lib/session.h"
#include "lib/utf.h"

namespace {

constexpr const char *kSessionName = "tesvo._engine.session";

using tesvo::PyRef;
using tesvo::py::Escape;
using tesvo::py::set_error;

// The record types, made once at import, for the one interpreter that may
// import the module: the types are process-wide, and an interpreter other than
// the one that made them must not use them.
std::atomic<std::int64_t> g_interpreter{-1};
PyTypeObject *g_item_type = nullptr;

PyStructSequence_Field g_item_fields[] = {
    {"start", "index in the text (a str index) of the item's first character"},
    {"end", "index in the text just past the item's last character"},
    {"level", "bidi embedding level"},
    {"rtl", "True for an odd level"},
    {"script_tag", "the OpenType script tag the item was shaped with"},
    {"script", "the backend's script number (SCRIPT_ANALYSIS.eScript)"},
    {"continues", "True for a piece of the item before it: one run of the itemizer with more glyphs than a "
                  "Uniscribe item holds, cut at a break opportunity (not part of the tuple)"},
    {nullptr, nullptr}};
PyStructSequence_Desc g_item_desc = {"tesvo.Item", "A run of one script and one bidi level.", g_item_fields, 6};

// ---- texts -----------------------------------------------------------------

// A text in UTF-16, with the index in the Python str of each code unit.
struct Text {
  std::u16string units;
  // One per code unit, and one past the end; empty when every character is one
  // code unit (the index is the code unit's).
  std::vector<std::uint32_t> index;
  std::optional<std::string> error;

  std::uint32_t at(std::size_t unit) const { return index.empty() ? static_cast<std::uint32_t>(unit) : index[unit]; }
};

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

// ---- results -----------------------------------------------------------------

// A text's shaped records or its message; an escape from the engine: running
// out of memory fails the whole call, a panic is the text's message.
using Outcome = std::variant<tesvo::ShapedText, std::string, Escape>;

Outcome shape_one(tesvo::FontSession &session, const Text &text, const tesvo::TextPlan &plan) noexcept {
  if (text.error) return *text.error;
  auto shaped = tesvo::py::contain([&] { return session.shape(text.units, plan); });
  if (const Escape *escape = std::get_if<Escape>(&shaped)) {
    if (*escape == Escape::panic) return std::string(tesvo::py::kPanicMessage);
    return *escape;
  }
  auto &result = std::get<0>(shaped);
  if (!result) return result.error();
  return std::move(result.value());
}

// Running out of memory for any text fails the call with MemoryError.
template <class Outcomes> bool ran_out_of_memory(const Outcomes &outcomes) {
  for (const auto &outcome : outcomes)
    if (std::holds_alternative<Escape>(outcome)) return true;
  return false;
}

// Fills a record of `type` from integers and objects; steals the objects.
PyObject *record(PyTypeObject *type, std::initializer_list<PyObject *> fields) {
  PyRef out(PyStructSequence_New(type));
  Py_ssize_t k = 0;
  bool ok = static_cast<bool>(out);
  for (PyObject *field : fields) {
    if (field == nullptr) ok = false;
    if (ok)
      PyStructSequence_SetItem(out.get(), k++, field);
    else
      Py_XDECREF(field);
  }
  return ok ? out.release() : nullptr;
}

PyObject *items_tuple(const tesvo::ShapedText &shaped, const Text &text) {
  PyRef items(PyTuple_New(static_cast<Py_ssize_t>(shaped.items.size())));
  if (!items) return nullptr;
  for (std::size_t i = 0; i < shaped.items.size(); ++i) {
    const tesvo::ShapedItemRecord &r = shaped.items[i];
    std::string tag = tesvo::tag_text(r.script_tag);
    PyObject *item = record(g_item_type, {PyLong_FromUnsignedLong(text.at(r.start)),
                                          PyLong_FromUnsignedLong(text.at(r.end)), PyLong_FromLong(r.level),
                                          PyBool_FromLong(r.rtl),
                                          PyUnicode_DecodeLatin1(tag.data(), static_cast<Py_ssize_t>(tag.size()), nullptr),
                                          PyLong_FromLong(r.script), PyBool_FromLong(r.continues)});
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(items.get(), static_cast<Py_ssize_t>(i), item);
  }
  return items.release();
}

// The glyphs as a GlyphRun over the font's glyph names, which takes the
// text's glyph records over.
PyObject *glyph_run(tesvo::ShapedText &shaped, const Text &text, PyObject *names) {
  std::unique_ptr<tesvo::py::GlyphRecords> records;
  try {
    records = std::make_unique<tesvo::py::GlyphRecords>();
    records->item_rtl.reserve(shaped.items.size());
    for (const tesvo::ShapedItemRecord &item : shaped.items) records->item_rtl.push_back(item.rtl ? 1 : 0);
    records->index = text.index;
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  records->glyphs = std::move(shaped.glyphs);
  return tesvo::py::new_glyph_run(std::move(records), names);
}

// One line per item of the itemizer that was shaped as several.
PyObject *cut_warnings(const tesvo::ShapedText &shaped, const Text &text) {
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(shaped.cuts.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < shaped.cuts.size(); ++i) {
    const std::string line = tesvo::cut_warning(shaped.cuts[i], tesvo::CodePointIndex{text.index});
    PyObject *text_line = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), nullptr);
    if (text_line == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), text_line);
  }
  return out.release();
}

// A new reference to None (Py_NewRef is not in the 3.9 limited API).
PyObject *none_ref() {
  Py_INCREF(Py_None);
  return Py_None;
}

// One str per distinct text: stage names repeat from item to item, kinds
// from stage to stage.
class Strings {
 public:
  Strings() = default;
  Strings(const Strings &) = delete;
  Strings &operator=(const Strings &) = delete;
  ~Strings() {
    for (auto &[text, object] : made_) Py_DECREF(object);
  }
  // A new reference, or null with an exception set.
  PyObject *get(const std::string &text) {
    auto [at, added] = made_.try_emplace(text, nullptr);
    if (added) {
      at->second = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
      if (at->second == nullptr) {
        made_.erase(at);
        return nullptr;
      }
    }
    Py_INCREF(at->second);
    return at->second;
  }

 private:
  std::unordered_map<std::string, PyObject *> made_;
};

// The stages' changes written into a stage table and glyph rows (see
// py_stage_glyphs.h), clusters as str indices (-1 where the port does not
// give one, positions 0 where the stage does not position).
void fill_stage_columns(const tesvo::ShapedText &shaped, const Text &text, std::int32_t *stage, std::int32_t *row) {
  using namespace tesvo::py;
  std::size_t first = 0;
  for (const tesvo::StageRecord &s : shaped.stages) {
    const std::int32_t fields[kStageFields] = {static_cast<std::int32_t>(s.item),
                                               s.positioned ? kStagePositioned : 0,
                                               static_cast<std::int32_t>(s.count),
                                               static_cast<std::int32_t>(s.start),
                                               static_cast<std::int32_t>(s.stop),
                                               static_cast<std::int32_t>(first),
                                               static_cast<std::int32_t>(s.glyphs.size())};
    std::copy(std::begin(fields), std::end(fields), stage);
    stage += kStageFields;
    first += s.glyphs.size();
    for (const tesvo::StageGlyphRecord &g : s.glyphs) {
      const bool known = g.cluster >= 0 && static_cast<std::size_t>(g.cluster) <= text.units.size();
      row[kRowId] = g.id;
      row[kRowCluster] = known ? static_cast<std::int32_t>(text.at(static_cast<std::size_t>(g.cluster))) : -1;
      row[kRowAdvance] = g.advance;
      row[kRowXOffset] = g.x_offset;
      row[kRowYOffset] = g.y_offset;
      row += kRowFields;
    }
  }
}

// A Stage record per recorded stage, all over one StageChanges; kind None
// where the port does not say.
PyObject *stages_tuple(const tesvo::ShapedText &shaped, const Text &text, PyObject *names) {
  using namespace tesvo::py;
  std::size_t changed = 0;
  for (const tesvo::StageRecord &s : shaped.stages) changed += s.glyphs.size();
  PyRef table(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(shaped.stages.size() * kStageFields * 4)));
  PyRef rows(table ? PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(changed * kRowFields * 4)) : nullptr);
  if (!rows) return nullptr;
  fill_stage_columns(shaped, text, reinterpret_cast<std::int32_t *>(PyBytes_AsString(table.get())),
                     reinterpret_cast<std::int32_t *>(PyBytes_AsString(rows.get())));
  PyRef changes(tesvo::py::new_stage_changes(table.get(), rows.get(), names));
  PyRef stages(changes ? PyTuple_New(static_cast<Py_ssize_t>(shaped.stages.size())) : nullptr);
  if (!stages) return nullptr;
  Strings strings;
  for (std::size_t i = 0; i < shaped.stages.size(); ++i) {
    const tesvo::StageRecord &s = shaped.stages[i];
    PyObject *stage = tesvo::py::new_stage(changes.get(), static_cast<Py_ssize_t>(i),
                                           s.kind.empty() ? none_ref() : strings.get(s.kind), strings.get(s.name));
    if (stage == nullptr) return nullptr;
    PyTuple_SetItem(stages.get(), static_cast<Py_ssize_t>(i), stage);
  }
  return stages.release();
}

// (items, glyphs, stages, warnings) for a shaped text, its message for a failed
// one. A shaped text's glyph records are used up.
PyObject *outcome_object(Outcome &outcome, const Text &text, PyObject *names) {
  if (const auto *message = std::get_if<std::string>(&outcome))
    return PyUnicode_DecodeUTF8(message->data(), static_cast<Py_ssize_t>(message->size()), "replace");
  if (const Escape *escape = std::get_if<Escape>(&outcome)) return tesvo::py::escape_error(*escape);
  auto &shaped = std::get<tesvo::ShapedText>(outcome);
  PyRef items(items_tuple(shaped, text));
  if (!items) return nullptr;
  PyRef glyphs(glyph_run(shaped, text, names));
  if (!glyphs) return nullptr;
  PyRef stages(stages_tuple(shaped, text, names));
  if (!stages) return nullptr;
  PyRef warnings(cut_warnings(shaped, text));
  if (!warnings) return nullptr;
  return PyTuple_Pack(4, items.get(), glyphs.get(), stages.get(), warnings.get());
}

// ---- entry points ----------------------------------------------------------------

tesvo::FontSession *session_of(PyObject *capsule) {
  return static_cast<tesvo::FontSession *>(PyCapsule_GetPointer(capsule, kSessionName));
}

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

// The session and options of shape and document; false with an exception set.
struct Call {
  tesvo::FontSession *session = nullptr;
  std::optional<tesvo::TextPlan> plan;
  std::vector<Text> inputs;
};

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

// Runs work(i) for every text without the interpreter lock, reading the
// engine's environment as it was when the call began. work must not throw.
template <class Work> void without_interpreter(std::size_t count, Work work) {
  tesvo::EnvironmentCopy environment;
  tesvo::py::InterpreterReleased released;
  for (std::size_t i = 0; i < count; ++i) work(i);
}

// shape(session, texts: list[str], direction, features, script, language, variations, trace, names)
//   -> list of (items, glyphs, stages, warnings) or error message, one per text.
// Bad options raise ValueError before any text is shaped.
PyObject *shape_texts(PyObject *args) {
  PyObject *capsule, *texts;
  const char *direction, *features, *script, *language, *variations;
  int trace = 0;
  PyObject *names;  // the font's glyph names, from glyph_names()
  if (!PyArg_ParseTuple(args, "OO!ssssspO!:shape", &capsule, &PyList_Type, &texts, &direction, &features, &script,
                        &language, &variations, &trace, &PyTuple_Type, &names))
    return nullptr;
  Call call;
  if (!read_call(capsule, texts, tesvo::TextOptions{direction, features, script, language, variations, trace != 0},
                 call))
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

// (True, JSON text) or (False, message).
PyObject *document_object(const Document &document) {
  auto pair = [](bool ok, std::string_view text) {
    PyObject *decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), ok ? "strict" : "replace");
    return Py_BuildValue("(ON)", ok ? Py_True : Py_False, decoded);
  };
  if (const auto *json = std::get_if<tesvo::JsonText>(&document)) return pair(true, json->view());
  return pair(false, std::get<std::string>(document));
}

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

// What lines() writes for each text: hb-shape's notation, or a JSON Lines
// record holding the compatibility call's document or the package's result.
struct LineForm {
  enum class Kind { notation, document, result } kind = Kind::notation;
  tesvo::NotationParts parts;
  std::string path;  // document: the font as the document names it
  std::string head, options, location, warnings;  // result: its frame (tesvo::ResultFrame)
};

// ("text", names, clusters, positions, advances), ("shape_json", path) or
// ("tesvo", head, options, location, warnings).
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
    const char *parts[4];
    Py_ssize_t sizes[4];
    if (!PyArg_ParseTuple(form, "ss#s#s#s#:lines", &word, &parts[0], &sizes[0], &parts[1], &sizes[1], &parts[2],
                          &sizes[2], &parts[3], &sizes[3]))
      return false;
    out.kind = LineForm::Kind::result;
    std::string *fields[4] = {&out.head, &out.options, &out.location, &out.warnings};
    for (int k = 0; k < 4; ++k) fields[k]->assign(parts[k], static_cast<std::size_t>(sizes[k]));
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
  const tesvo::ResultFrame frame{form.head, form.options, form.location, form.warnings};
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
      tesvo::append_result_record(out.bytes, line, std::get<tesvo::ShapedText>(outcome), source, frame);
    }
    out.bytes += '\n';
  }
  return out;
}

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

// The feature list as the engine reads it, for callers that hand the same features to
// another engine (a comparison with HarfBuzz): [(tag, value)], tags of four characters.
// [(tag, value)] from parsed records: the tag as its four characters, the value as
// `value_of` makes it from a record (a new reference, stolen).
template <class Records, class Value> PyObject *tag_pairs(const Records &records, Value value_of) {
  PyRef out(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    auto [tag, value] = value_of(records[i]);
    char text[4];
    for (int k = 0; k < 4; ++k) text[k] = static_cast<char>((tag >> (8 * k)) & 0xFF);
    PyObject *pair = Py_BuildValue("(s#N)", text, static_cast<Py_ssize_t>(4), value);
    if (pair == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return out.release();
}

PyObject *parse_feature_list(PyObject *args) {
  const char *text;
  if (!PyArg_ParseTuple(args, "s:parse_features", &text)) return nullptr;
  tesvo::Result<tesvo::FeatureList> parsed = tesvo::parse_features(text);
  if (!parsed) return set_error(PyExc_ValueError, parsed.error());
  return tag_pairs(*parsed, [](const OPENTYPE_FEATURE_RECORD &record) {
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

// The paragraph direction the compatibility call's automatic rule gives a text (right to
// left when it holds a character of the right-to-left blocks), for callers that shape the
// same text through the package and need the same items as that call's document.
PyObject *compat_rtl(PyObject *args) {
  PyObject *object;
  if (!PyArg_ParseTuple(args, "U:compat_rtl", &object)) return nullptr;
  Text text;
  if (!read_text(object, text)) return nullptr;
  if (text.error) return set_error(PyExc_ValueError, *text.error);
  return PyBool_FromLong(tesvo::direction_is_rtl("auto", text.units));
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

// glyph_type(fields) -> the record class of every GlyphRun, made from the
// package's NamedTuple once.
PyObject *glyph_type(PyObject *args) {
  PyObject *fields;
  if (!PyArg_ParseTuple(args, "O:glyph_type", &fields)) return nullptr;
  return tesvo::py::make_glyph_type(fields);
}

// use_stage_types(Stage, StageGlyph): the record classes of every trace.
PyObject *stage_types(PyObject *args) {
  PyObject *stage, *stage_glyph;
  if (!PyArg_ParseTuple(args, "OO:use_stage_types", &stage, &stage_glyph)) return nullptr;
  return tesvo::py::use_stage_types(stage, stage_glyph);
}

// The module's functions, each guarded: no C++ exception reaches the interpreter.
template <PyObject *(*Function)(PyObject *)> PyObject *guarded(PyObject *, PyObject *args) {
  return tesvo::py::guarded([&] { return Function(args); });
}

PyMethodDef g_methods[] = {
    {"open", guarded<open_font>, METH_VARARGS,
     "open(data, index, backend) -> (session, upem, glyph_count, family, backend, backend_version)"},
    {"shape", guarded<shape_texts>, METH_VARARGS,
     "shape(session, texts, direction, features, script, language, variations, trace, names) -> list of results "
     "or messages"},
    {"document", guarded<document_texts>, METH_VARARGS,
     "document(session, texts, direction, features, script, language, variations, trace, path, compact) -> list of "
     "(ok, text)"},
    {"lines", guarded<batch_lines>, METH_VARARGS,
     "lines(session, texts, direction, features, script, language, variations, trace, first, form) -> (bytes, "
     "failed): tesvo --batch's lines for the texts"},
    {"glyph_names", guarded<font_glyph_names>, METH_VARARGS,
     "glyph_names(session) -> tuple of every glyph's name as HarfBuzz gives it"},
    {"layout_tags", guarded<font_layout_tags>, METH_VARARGS,
     "layout_tags(session) -> (gsub, gpos): [(script, has default language system, languages)]"},
    {"language_tag", guarded<language_tag>, METH_VARARGS,
     "language_tag(session, language) -> the language system tag the value selects, '' for the default"},
    {"coordinates", guarded<axis_coordinates>, METH_VARARGS,
     "coordinates(session, variations) -> [(design 16.16, normalized 2.14)] per axis at that location"},
    {"parse_features", guarded<parse_feature_list>, METH_VARARGS,
     "parse_features(text) -> [(tag, value)]: a feature list as the engine reads it"},
    {"parse_variations", guarded<parse_variation_list>, METH_VARARGS,
     "parse_variations(text) -> [(tag, value)]: a location as the engine reads it"},
    {"glyph_type", guarded<glyph_type>, METH_VARARGS,
     "glyph_type(fields) -> the Glyph class of the records GlyphRun hands out: a subclass of the NamedTuple "
     "`fields` reading its fields as slots; made once"},
    {"use_stage_types", guarded<stage_types>, METH_VARARGS,
     "use_stage_types(Stage, StageGlyph): the NamedTuple classes of a trace's records, set once"},
    {"compat_rtl", guarded<compat_rtl>, METH_VARARGS,
     "compat_rtl(text) -> bool: whether shape_json's automatic direction makes the paragraph right to left"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "tesvo._engine",
                            "The engine beneath the tesvo package: a held font, structured results.",
                            0, g_methods, nullptr, nullptr, nullptr, nullptr};

bool add_type(PyObject *module, const char *name, PyStructSequence_Desc *desc, PyTypeObject *&slot) {
  if (slot == nullptr) {
    slot = PyStructSequence_NewType(desc);
    if (slot == nullptr) return false;
  }
  Py_INCREF(slot);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject *>(slot)) != 0) {
    Py_DECREF(slot);
    return false;
  }
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__engine(void) {
  if (!tesvo::py::claim_interpreter(g_interpreter, "tesvo._engine")) return nullptr;
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", TESVO_VERSION) != 0) return nullptr;
  if (!add_type(module.get(), "Item", &g_item_desc, g_item_type)) return nullptr;
  PyObject *run_type = tesvo::py::make_glyph_run_type();
  if (run_type == nullptr) return nullptr;
  if (PyModule_AddObject(module.get(), "GlyphRun", run_type) != 0) {
    Py_DECREF(run_type);
    return nullptr;
  }
  if (!tesvo::py::add_stage_types(module.get())) return nullptr;
  return module.release();
}
