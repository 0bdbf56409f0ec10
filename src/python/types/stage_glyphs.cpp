// tesvo._engine.StageChanges and tesvo.StageGlyphs: the stages of a traced
// result kept as what each changed, read as whole stages of StageGlyph
// records made on access. A trace of 20,000 stages of 150 glyphs is one table
// and one block of the glyphs that changed, a few hundred kilobytes that the
// garbage collector never visits, where whole stages of records were three
// million tuples. A stage is rebuilt whole (from the first stage of its item,
// or from the stage rebuilt last when that is the one before it) the first
// time its glyphs are read, and kept with it; its change, its length and its
// glyph ids need no record.
#include "python/types/stage_glyphs.h"

#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "cpython/py_boundary.h"
#include "python/types/glyph_run.h"

namespace tesvo::py {

namespace {

using Row = std::array<std::int32_t, kRowFields>;
constexpr int kStageGlyphRecordFields = kRowFields + 1;  // and the glyph's name

struct ChangesObject {
  PyObject_HEAD
  PyObject *table;  // bytes: kStageFields int32 per stage
  PyObject *rows;   // bytes: the changed glyphs, kRowFields int32 each
  PyObject *names;  // tuple of str, the font's glyph names by id
  const std::int32_t *stages;
  const char *row_data;
  Py_ssize_t count;
  Py_ssize_t row_count;
  PyObject *cursor;  // the stage rebuilt last (bytes of rows), or null
  Py_ssize_t cursor_at;
};

struct GlyphsObject {
  PyObject_HEAD
  PyObject *changes;
  Py_ssize_t index;
  PyObject *whole;  // the stage's rows once rebuilt (bytes), or null
};

// Process-wide, as the record types are: the module serves one interpreter.
PyTypeObject *g_changes_type = nullptr;
PyTypeObject *g_glyphs_type = nullptr;
PyTypeObject *g_stage_type = nullptr;  // set by use_stage_types, once
PyTypeObject *g_stage_glyph_type = nullptr;
allocfunc g_stage_alloc = nullptr;
allocfunc g_stage_glyph_alloc = nullptr;

ChangesObject *as_changes(PyObject *self) { return reinterpret_cast<ChangesObject *>(self); }
GlyphsObject *as_glyphs(PyObject *self) { return reinterpret_cast<GlyphsObject *>(self); }

const std::int32_t *stage_at(const ChangesObject *c, Py_ssize_t k) { return c->stages + k * kStageFields; }

bool starts_item(const ChangesObject *c, Py_ssize_t k) {
  return k == 0 || stage_at(c, k)[kStageItem] != stage_at(c, k - 1)[kStageItem];
}

Row row_at(const char *data, Py_ssize_t k) {
  Row row;
  std::memcpy(row.data(), data + k * static_cast<Py_ssize_t>(sizeof(Row)), sizeof(Row));
  return row;
}

void apply(const ChangesObject *c, Py_ssize_t k, std::vector<Row> &rows) {
  const std::int32_t *s = stage_at(c, k);
  rows.erase(rows.begin() + s[kStageStart], rows.begin() + s[kStageStop]);
  std::vector<Row> changed(static_cast<std::size_t>(s[kStageChanged]));
  for (std::size_t i = 0; i < changed.size(); ++i)
    changed[i] = row_at(c->row_data, s[kStageFirstGlyph] + static_cast<Py_ssize_t>(i));
  rows.insert(rows.begin() + s[kStageStart], changed.begin(), changed.end());
}

// Stage k whole, as bytes of rows: replayed from the first stage of its item,
// or from the stage rebuilt last when that one comes before it in the item.
PyObject *rebuild(ChangesObject *c, Py_ssize_t k) {
  if (c->cursor != nullptr && c->cursor_at == k) {
    Py_INCREF(c->cursor);
    return c->cursor;
  }
  try {
    Py_ssize_t from = k;
    while (!starts_item(c, from) && !(c->cursor != nullptr && c->cursor_at == from - 1)) --from;
    std::vector<Row> rows;
    if (!starts_item(c, from)) {
      const Py_ssize_t n = PyBytes_Size(c->cursor) / static_cast<Py_ssize_t>(sizeof(Row));
      const char *data = PyBytes_AsString(c->cursor);
      rows.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) rows.push_back(row_at(data, i));
    }
    for (Py_ssize_t j = from; j <= k; ++j) apply(c, j, rows);
    PyObject *whole = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rows.data()),
                                                static_cast<Py_ssize_t>(rows.size() * sizeof(Row)));
    if (whole == nullptr) return nullptr;
    Py_INCREF(whole);
    Py_XDECREF(c->cursor);
    c->cursor = whole;
    c->cursor_at = k;
    return whole;
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

// The glyph rows of the stage whole, rebuilt on the first call; null with an
// exception set.
const char *whole_rows(GlyphsObject *g) {
  if (g->whole == nullptr) g->whole = rebuild(as_changes(g->changes), g->index);
  return g->whole != nullptr ? PyBytes_AsString(g->whole) : nullptr;
}

Py_ssize_t glyph_count(const GlyphsObject *g) { return stage_at(as_changes(g->changes), g->index)[kStageCount]; }

bool positioned(const GlyphsObject *g) {
  return (stage_at(as_changes(g->changes), g->index)[kStageFlags] & kStagePositioned) != 0;
}

PyObject *int_or_none(bool known, std::int32_t value) {
  if (known) return PyLong_FromLong(value);
  Py_INCREF(Py_None);
  return Py_None;
}

// A StageGlyph record: allocated as the tuple it is and filled in place.
PyObject *record(const Row &row, bool with_positions, PyObject *names) {
  if (g_stage_glyph_alloc == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "tesvo._engine has no StageGlyph type yet (import tesvo)");
    return nullptr;
  }
  PyObject *glyph = g_stage_glyph_alloc(g_stage_glyph_type, kStageGlyphRecordFields);
  if (glyph == nullptr) return nullptr;
  PyObject *values[kStageGlyphRecordFields] = {
      PyLong_FromLong(row[kRowId]),
      int_or_none(row[kRowCluster] >= 0, row[kRowCluster]),
      int_or_none(with_positions, row[kRowAdvance]),
      int_or_none(with_positions, row[kRowXOffset]),
      int_or_none(with_positions, row[kRowYOffset]),
      glyph_name(names, row[kRowId])};
  bool ok = true;
  for (int k = 0; k < kStageGlyphRecordFields; ++k) {
    if (values[k] == nullptr) {
      ok = false;
      continue;
    }
    PyTuple_SetItem(glyph, k, values[k]);
  }
  if (ok) return glyph;
  Py_DECREF(glyph);  // a tuple's empty slots are skipped as it is freed
  return nullptr;
}

// Records of `count` rows from `data`, as a tuple.
PyObject *records(const char *data, Py_ssize_t first, Py_ssize_t count, Py_ssize_t step, bool with_positions,
                  PyObject *names) {
  PyRef out(PyTuple_New(count));
  if (!out) return nullptr;
  for (Py_ssize_t k = 0, i = first; k < count; ++k, i += step) {
    PyObject *glyph = record(row_at(data, i), with_positions, names);
    if (glyph == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), k, glyph);
  }
  return out.release();
}

}  // namespace

bool stage_change_view(PyObject *glyphs, StageChangeView &out) {
  if (g_glyphs_type == nullptr || !PyObject_TypeCheck(glyphs, g_glyphs_type)) return false;
  const GlyphsObject *g = as_glyphs(glyphs);
  const ChangesObject *c = as_changes(g->changes);
  const std::int32_t *s = stage_at(c, g->index);
  out = StageChangeView{s[kStageCount], s[kStageStart], s[kStageStop], s[kStageChanged],
                        (s[kStageFlags] & kStagePositioned) != 0,
                        c->row_data + static_cast<Py_ssize_t>(s[kStageFirstGlyph]) * static_cast<Py_ssize_t>(sizeof(Row)),
                        c->names};
  return true;
}

namespace {

// ---- StageChanges ----------------------------------------------------------------

// A stage that the ones before it do not lead to, or that reaches past the rows.
bool coherent(const ChangesObject *c) {
  std::int64_t before = 0;
  for (Py_ssize_t k = 0; k < c->count; ++k) {
    const std::int32_t *s = stage_at(c, k);
    const std::int64_t base = starts_item(c, k) ? 0 : before;
    const std::int64_t start = s[kStageStart], stop = s[kStageStop], changed = s[kStageChanged];
    const std::int64_t first = s[kStageFirstGlyph];
    if (start < 0 || start > stop || stop > base || changed < 0 || first < 0 || first + changed > c->row_count ||
        s[kStageCount] != base - (stop - start) + changed)
      return false;
    before = s[kStageCount];
  }
  return true;
}

PyObject *make_changes(PyTypeObject *type, PyObject *table, PyObject *rows, PyObject *names) {
  if (!PyBytes_Check(table) || !PyBytes_Check(rows) || !PyTuple_Check(names)) {
    PyErr_SetString(PyExc_TypeError, "StageChanges takes the bytes of its stage table and glyph rows and a tuple of "
                                     "glyph names");
    return nullptr;
  }
  constexpr Py_ssize_t kStageSize = kStageFields * sizeof(std::int32_t);
  if (PyBytes_Size(table) % kStageSize != 0 || PyBytes_Size(rows) % static_cast<Py_ssize_t>(sizeof(Row)) != 0) {
    PyErr_SetString(PyExc_ValueError, "StageChanges: the table holds 7 int32 per stage, the rows 5 per glyph");
    return nullptr;
  }
  PyObject *self = new_instance(type);
  if (self == nullptr) return nullptr;
  ChangesObject *c = as_changes(self);
  Py_INCREF(table);
  c->table = table;
  Py_INCREF(rows);
  c->rows = rows;
  Py_INCREF(names);
  c->names = names;
  c->stages = reinterpret_cast<const std::int32_t *>(PyBytes_AsString(table));
  c->row_data = PyBytes_AsString(rows);
  c->count = PyBytes_Size(table) / kStageSize;
  c->row_count = PyBytes_Size(rows) / static_cast<Py_ssize_t>(sizeof(Row));
  c->cursor = nullptr;
  c->cursor_at = -1;
  if (coherent(c)) return self;
  Py_DECREF(self);
  PyErr_SetString(PyExc_ValueError, "StageChanges: a stage changes glyphs the stage before it does not have");
  return nullptr;
}

PyObject *changes_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *table = nullptr, *rows = nullptr, *names = nullptr;
  static const char *keywords[] = {"table", "rows", "names", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:StageChanges", const_cast<char **>(keywords), &table, &rows,
                                   &names))
    return nullptr;
  return make_changes(type, table, rows, names);
}

void changes_dealloc(PyObject *self) {
  ChangesObject *c = as_changes(self);
  Py_XDECREF(c->table);
  Py_XDECREF(c->rows);
  Py_XDECREF(c->names);
  Py_XDECREF(c->cursor);
  free_instance(self);
}

Py_ssize_t changes_length(PyObject *self) { return as_changes(self)->count; }

PyObject *changes_reduce(PyObject *self, PyObject *) {
  ChangesObject *c = as_changes(self);
  return Py_BuildValue("(O(OOO))", reinterpret_cast<PyObject *>(Py_TYPE(self)), c->table, c->rows, c->names);
}

PyMethodDef g_changes_methods[] = {{"__reduce__", changes_reduce, METH_NOARGS, nullptr},
                                   {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_changes_slots[] = {
    {Py_tp_doc, const_cast<char *>("Every stage of a traced result as the change it made to the stage before it: "
                                   "what each Stage's StageGlyphs read.")},
    {Py_tp_new, reinterpret_cast<void *>(changes_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(changes_dealloc)},
    {Py_tp_methods, g_changes_methods},
    {Py_sq_length, reinterpret_cast<void *>(changes_length)},
    {0, nullptr}};

PyType_Spec g_changes_spec = {"tesvo._engine.StageChanges", sizeof(ChangesObject), 0, Py_TPFLAGS_DEFAULT,
                              g_changes_slots};

// ---- StageGlyphs -----------------------------------------------------------------

PyObject *make_glyphs(PyTypeObject *type, PyObject *changes, Py_ssize_t index) {
  if (!PyObject_TypeCheck(changes, g_changes_type)) {
    PyErr_SetString(PyExc_TypeError, "StageGlyphs takes a StageChanges and a stage index");
    return nullptr;
  }
  if (index < 0 || index >= as_changes(changes)->count) {
    PyErr_SetString(PyExc_IndexError, "stage index out of range");
    return nullptr;
  }
  PyObject *self = new_instance(type);
  if (self == nullptr) return nullptr;
  GlyphsObject *g = as_glyphs(self);
  Py_INCREF(changes);
  g->changes = changes;
  g->index = index;
  g->whole = nullptr;
  return self;
}

PyObject *glyphs_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *changes = nullptr;
  Py_ssize_t index = 0;
  static const char *keywords[] = {"changes", "index", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On:StageGlyphs", const_cast<char **>(keywords), &changes, &index))
    return nullptr;
  return make_glyphs(type, changes, index);
}

void glyphs_dealloc(PyObject *self) {
  Py_XDECREF(as_glyphs(self)->changes);
  Py_XDECREF(as_glyphs(self)->whole);
  free_instance(self);
}

Py_ssize_t glyphs_length(PyObject *self) { return glyph_count(as_glyphs(self)); }

PyObject *glyphs_item(PyObject *self, Py_ssize_t i) {
  GlyphsObject *g = as_glyphs(self);
  if (i < 0 || i >= glyph_count(g)) {
    PyErr_SetString(PyExc_IndexError, "glyph index out of range");
    return nullptr;
  }
  const char *rows = whole_rows(g);
  if (rows == nullptr) return nullptr;
  return record(row_at(rows, i), positioned(g), as_changes(g->changes)->names);
}

PyObject *glyphs_subscript(PyObject *self, PyObject *key) {
  GlyphsObject *g = as_glyphs(self);
  if (PySlice_Check(key)) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    const Py_ssize_t n = PySlice_AdjustIndices(glyph_count(g), &start, &stop, step);
    const char *rows = whole_rows(g);
    if (rows == nullptr) return nullptr;
    return records(rows, start, n, step, positioned(g), as_changes(g->changes)->names);
  }
  Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) return nullptr;
  if (i < 0) i += glyph_count(g);
  return glyphs_item(self, i);
}

// Equal to another stage's glyphs that hold the same records, and to a tuple
// or list of the same StageGlyph records.
PyObject *glyphs_compare(PyObject *self, PyObject *other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  int same = 0;
  if (PyObject_TypeCheck(other, g_glyphs_type)) {
    GlyphsObject *a = as_glyphs(self), *b = as_glyphs(other);
    if (a->changes == b->changes && a->index == b->index) {
      same = 1;
    } else if (positioned(a) == positioned(b) && glyph_count(a) == glyph_count(b)) {
      if (whole_rows(a) == nullptr || whole_rows(b) == nullptr) return nullptr;
      same = PyObject_RichCompareBool(a->whole, b->whole, Py_EQ);
      if (same == 1)
        same = PyObject_RichCompareBool(as_changes(a->changes)->names, as_changes(b->changes)->names, Py_EQ);
    }
  } else if (PyTuple_Check(other) || PyList_Check(other)) {
    PyRef mine(PySequence_Tuple(self));
    PyRef theirs(mine ? PySequence_Tuple(other) : nullptr);
    if (!theirs) return nullptr;
    same = PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ);
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  if (same < 0) return nullptr;
  return PyBool_FromLong((same == 1) == (op == Py_EQ));
}

// As the tuple of its records, which it is equal to.
Py_hash_t glyphs_hash(PyObject *self) {
  PyRef records(PySequence_Tuple(self));
  return records ? PyObject_Hash(records.get()) : -1;
}

PyObject *glyphs_repr(PyObject *self) {
  return PyUnicode_FromFormat("<tesvo.StageGlyphs of %zd glyphs>", glyph_count(as_glyphs(self)));
}

PyObject *glyphs_reduce(PyObject *self, PyObject *) {
  return Py_BuildValue("(O(On))", reinterpret_cast<PyObject *>(Py_TYPE(self)), as_glyphs(self)->changes,
                       as_glyphs(self)->index);
}

// (start, stop, glyphs): the stage before's glyphs [start, stop) replaced by
// these StageGlyph records.
PyObject *glyphs_change(PyObject *self, void *) {
  GlyphsObject *g = as_glyphs(self);
  const ChangesObject *c = as_changes(g->changes);
  const std::int32_t *s = stage_at(c, g->index);
  PyRef changed(records(c->row_data, s[kStageFirstGlyph], s[kStageChanged], 1, positioned(g), c->names));
  if (!changed) return nullptr;
  return Py_BuildValue("(iiO)", s[kStageStart], s[kStageStop], changed.get());
}

// The glyph ids of the whole stage, without a record.
PyObject *glyphs_ids(PyObject *self, void *) {
  GlyphsObject *g = as_glyphs(self);
  const char *rows = whole_rows(g);
  if (rows == nullptr) return nullptr;
  const Py_ssize_t n = glyph_count(g);
  PyRef out(PyTuple_New(n));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *id = PyLong_FromLong(row_at(rows, i)[kRowId]);
    if (id == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), i, id);
  }
  return out.release();
}

PyGetSetDef g_glyphs_getset[] = {
    {"change", glyphs_change, nullptr,
     "(start, stop, glyphs): the span of the item's stage before that this stage replaced, and the StageGlyph "
     "records that replace it (the shortest such span; the first stage of an item replaces nothing)",
     nullptr},
    {"ids", glyphs_ids, nullptr, "the glyph ids of the stage, as a tuple of int", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef g_glyphs_methods[] = {{"__reduce__", glyphs_reduce, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_glyphs_slots[] = {
    {Py_tp_doc, const_cast<char *>("A stage's glyphs: a sequence of StageGlyph records, the stage rebuilt from the "
                                   "trace's changes when it is first read.")},
    {Py_tp_new, reinterpret_cast<void *>(glyphs_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(glyphs_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(glyphs_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(glyphs_compare)},
    {Py_tp_hash, reinterpret_cast<void *>(glyphs_hash)},
    {Py_tp_getset, g_glyphs_getset},
    {Py_tp_methods, g_glyphs_methods},
    {Py_sq_length, reinterpret_cast<void *>(glyphs_length)},
    {Py_sq_item, reinterpret_cast<void *>(glyphs_item)},
    {Py_mp_length, reinterpret_cast<void *>(glyphs_length)},
    {Py_mp_subscript, reinterpret_cast<void *>(glyphs_subscript)},
    {0, nullptr}};

PyType_Spec g_glyphs_spec = {"tesvo.StageGlyphs", sizeof(GlyphsObject), 0, Py_TPFLAGS_DEFAULT, g_glyphs_slots};

bool add_type(PyObject *module, const char *name, PyType_Spec *layout, PyTypeObject *&slot) {
  if (slot == nullptr) {
    PyObject *type = PyType_FromSpec(layout);
    if (type == nullptr) return false;
    slot = reinterpret_cast<PyTypeObject *>(type);
  }
  Py_INCREF(slot);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject *>(slot)) == 0) return true;
  Py_DECREF(slot);
  return false;
}

// A heap type deriving from tuple without slots of its own, as a NamedTuple class is.
bool named_tuple_class(PyObject *type) {
  return PyType_Check(type) && PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type), &PyTuple_Type) &&
         (PyType_GetFlags(reinterpret_cast<PyTypeObject *>(type)) & Py_TPFLAGS_HEAPTYPE) != 0;
}

}  // namespace

bool add_stage_types(PyObject *module) {
  return add_type(module, "StageChanges", &g_changes_spec, g_changes_type) &&
         add_type(module, "StageGlyphs", &g_glyphs_spec, g_glyphs_type);
}

PyObject *use_stage_types(PyObject *stage, PyObject *stage_glyph) {
  if (g_stage_type != nullptr) {
    if (stage == reinterpret_cast<PyObject *>(g_stage_type) &&
        stage_glyph == reinterpret_cast<PyObject *>(g_stage_glyph_type))
      Py_RETURN_NONE;
    PyErr_SetString(PyExc_RuntimeError, "the Stage and StageGlyph types are set once");
    return nullptr;
  }
  if (!named_tuple_class(stage) || !named_tuple_class(stage_glyph)) {
    PyErr_SetString(PyExc_TypeError, "the Stage and StageGlyph types must be NamedTuple classes");
    return nullptr;
  }
  Py_INCREF(stage);
  Py_INCREF(stage_glyph);
  g_stage_type = reinterpret_cast<PyTypeObject *>(stage);
  g_stage_glyph_type = reinterpret_cast<PyTypeObject *>(stage_glyph);
  g_stage_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_stage_type, Py_tp_alloc));
  g_stage_glyph_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_stage_glyph_type, Py_tp_alloc));
  Py_RETURN_NONE;
}

PyObject *new_stage_changes(PyObject *table, PyObject *rows, PyObject *names) {
  return make_changes(g_changes_type, table, rows, names);
}

PyObject *new_stage(PyObject *changes, Py_ssize_t index, PyObject *kind, PyObject *name, PyObject *nested) {
  PyRef owned_kind(kind), owned_name(name), owned_nested(nested);
  if (kind == nullptr || name == nullptr || nested == nullptr) return nullptr;
  if (g_stage_alloc == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "tesvo._engine has no Stage type yet (import tesvo)");
    return nullptr;
  }
  PyRef glyphs(make_glyphs(g_glyphs_type, changes, index));
  PyRef item(glyphs ? PyLong_FromLong(stage_at(as_changes(changes), index)[kStageItem]) : nullptr);
  if (!item) return nullptr;
  PyObject *stage = g_stage_alloc(g_stage_type, 5);
  if (stage == nullptr) return nullptr;
  PyTuple_SetItem(stage, 0, item.release());
  PyTuple_SetItem(stage, 1, owned_kind.release());
  PyTuple_SetItem(stage, 2, owned_name.release());
  PyTuple_SetItem(stage, 3, glyphs.release());
  PyTuple_SetItem(stage, 4, owned_nested.release());
  return stage;
}

}  // namespace tesvo::py
