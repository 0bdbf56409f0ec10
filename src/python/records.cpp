// The records tesvo._engine hands out for a shaped text: its items, its glyphs
// as a GlyphRun, the stages of its trace and the warnings of its cut items.

#define PY_SSIZE_T_CLEAN
#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include "python/records.h"

#include <algorithm>
#include <initializer_list>
#include <unordered_map>
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

#include "output/lines.h"
#include "python/types/glyph_record.h"
#include "python/types/glyph_run.h"
#include "python/types/stage_glyphs.h"

namespace tesvo::py {

namespace {

PyStructSequence_Field g_item_fields[] = {
    {"start", "index in the text (a str index) of the item's first character"},
    {"end", "index in the text just past the item's last character"},
    {"level", "bidi embedding level"},
    {"rtl", "True for an odd level"},
    {"script_tag", "the OpenType script tag the item was shaped with"},
    {"script", "the backend's script number (SCRIPT_ANALYSIS.eScript)"},
    {"continues", "True for a piece of the item before it: one run of the itemizer with more glyphs than a "
                  "Uniscribe item holds, cut at a break opportunity (not part of the tuple)"},
    {"_analysis", "the item's SCRIPT_ANALYSIS as the backend returned it, its four bytes as one number, or None "
                  "(Item.analysis reads it; not part of the tuple)"},
    {nullptr, nullptr}};
PyStructSequence_Desc g_item_desc = {"tesvo.Item", "A run of one script and one bidi level.", g_item_fields, 6};

// Made once, at the module's first import (the module refuses a second
// interpreter, so no other one sees it).
PyTypeObject *g_item_type = nullptr;

}  // namespace

bool add_item_type(PyObject *module) {
  if (g_item_type == nullptr) {
    g_item_type = PyStructSequence_NewType(&g_item_desc);
    if (g_item_type == nullptr) return false;
  }
  Py_INCREF(g_item_type);
  if (PyModule_AddObject(module, "Item", reinterpret_cast<PyObject *>(g_item_type)) != 0) {
    Py_DECREF(g_item_type);
    return false;
  }
  return true;
}

PyObject *record_types(PyObject *args) {
  PyObject *glyph, *stage, *stage_glyph;
  if (!PyArg_ParseTuple(args, "OOO:record_types", &glyph, &stage, &stage_glyph)) return nullptr;
  PyRef kept(use_stage_types(stage, stage_glyph));
  if (!kept) return nullptr;
  return make_glyph_type(glyph);
}

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

namespace {

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
    PyObject *analysis = Py_None;
    if (i < shaped.item_props.size()) {
      std::uint32_t bits = 0;
      static_assert(sizeof bits == sizeof(SCRIPT_ANALYSIS));
      std::memcpy(&bits, &shaped.item_props[i].analysis, sizeof bits);
      analysis = PyLong_FromUnsignedLong(bits);
    } else {
      Py_INCREF(Py_None);
    }
    PyObject *item = record(g_item_type, {PyLong_FromUnsignedLong(text.at(r.start)),
                                          PyLong_FromUnsignedLong(text.at(r.end)), PyLong_FromLong(r.level),
                                          PyBool_FromLong(r.rtl),
                                          PyUnicode_DecodeLatin1(tag.data(), static_cast<Py_ssize_t>(tag.size()), nullptr),
                                          PyLong_FromLong(r.script), PyBool_FromLong(r.continues), analysis});
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

// A new reference (Py_NewRef is not in the 3.9 limited API).
PyObject *new_ref(PyObject *object) {
  Py_INCREF(object);
  return object;
}

PyObject *none_ref() { return new_ref(Py_None); }

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
// types/stage_glyphs.h), clusters as str indices (-1 where the port does not
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

// A contextual lookup's calls as a tuple of lookup indices.
PyObject *nested_tuple(const std::vector<std::uint16_t> &nested) {
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(nested.size())));
  if (!out) return nullptr;
  for (std::size_t k = 0; k < nested.size(); ++k) {
    PyObject *index = PyLong_FromLong(nested[k]);
    if (index == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(k), index);
  }
  return out.release();
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
  PyRef no_calls(PyTuple_New(0));
  if (!no_calls) return nullptr;
  for (std::size_t i = 0; i < shaped.stages.size(); ++i) {
    const tesvo::StageRecord &s = shaped.stages[i];
    PyObject *stage = tesvo::py::new_stage(changes.get(), static_cast<Py_ssize_t>(i),
                                           s.kind.empty() ? none_ref() : strings.get(s.kind), strings.get(s.name),
                                           s.nested.empty() ? new_ref(no_calls.get()) : nested_tuple(s.nested));
    if (stage == nullptr) return nullptr;
    PyTuple_SetItem(stages.get(), static_cast<Py_ssize_t>(i), stage);
  }
  return stages.release();
}

}  // namespace

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
  PyRef props(props_tuple(shaped));
  if (!props) return nullptr;
  return PyTuple_Pack(5, items.get(), glyphs.get(), stages.get(), warnings.get(), props.get());
}

}  // namespace tesvo::py
