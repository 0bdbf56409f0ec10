// tesvo._engine.GlyphRun: a result's glyphs, read as Glyph records made on
// access. A shaped text's run keeps the engine's own glyph records, 24 bytes a
// glyph in one block that the garbage collector never visits, and reads each
// Glyph straight from them; most callers only iterate, and a pass writing
// every field into columns would cost them a tenth of the call. The columns,
// one bytes object of 32-bit integers, are made when first asked for (then
// the records go): they go to Python as memoryviews of the bytes (the limited
// API of 3.9 has no buffer protocol for types of our own), so numpy reads them
// in place. A run unpickled or made from columns holds only those. A record
// is the package's Glyph (see types/glyph_record.h); its name is the font's
// names tuple's entry for the glyph id, shared, not copied. Iterating goes
// through an iterator of the run's own.
#include "python/types/glyph_run.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "cpython/py_boundary.h"
#include "python/types/glyph_record.h"

namespace tesvo::py {

namespace {

struct GlyphRunObject {
  PyObject_HEAD
  PyObject *columns;  // bytes; null until asked for while the run holds records
  PyObject *names;    // tuple of str, the font's glyph names by id
  PyObject *const *name_items;  // the names tuple's items, null where read through the tuple's API
  GlyphRecords *records;        // owned; null once there are columns
  const std::int32_t *data;     // the columns' values
  Py_ssize_t count;
  Py_ssize_t name_count;
};

// The iterator of a run: the glyph it gives next; the run is dropped once
// every glyph was given. It keeps the last two records it gave: a loop that
// holds one record at a time has let go of the one before by the time it
// asks for the next, which is then refilled instead of freed and made anew.
struct GlyphIteratorObject {
  PyObject_HEAD
  PyObject *run;
  Py_ssize_t next;
  PyObject *kept[2];
  std::int32_t held[2][kGlyphColumns];  // the values of the kept records' fields
};

// Process-wide, as the record type is: the module serves one interpreter.
PyTypeObject *g_run_type = nullptr;
PyTypeObject *g_iterator_type = nullptr;

GlyphRunObject *as_run(PyObject *self) { return reinterpret_cast<GlyphRunObject *>(self); }
GlyphIteratorObject *as_iterator(PyObject *self) { return reinterpret_cast<GlyphIteratorObject *>(self); }

// The glyph's name from the font's names, "gid<N>" beyond them.
PyObject *run_glyph_name(const GlyphRunObject *run, std::int32_t id) {
  if (run->name_items == nullptr || id < 0 || id >= run->name_count) return glyph_name(run->names, id);
  PyObject *name = run->name_items[id];
  Py_INCREF(name);
  return name;
}

void read_fields(const GlyphRunObject *run, Py_ssize_t i, std::int32_t (&values)[kGlyphColumns]) {
  if (run->records != nullptr) {
    run->records->read(static_cast<std::size_t>(i), values);
    return;
  }
  const std::int32_t *column = run->data + i;
#pragma GCC unroll 9
  for (int k = 0; k < kGlyphColumns; ++k, column += run->count) values[k] = *column;
}

// Makes the columns of a run that holds records, and lets the records go.
// False with MemoryError set when there is no room for them.
bool ensure_columns(GlyphRunObject *run) {
  if (run->columns != nullptr) return true;
  const Py_ssize_t size = run->count * kGlyphColumns * static_cast<Py_ssize_t>(sizeof(std::int32_t));
  PyObject *columns = PyBytes_FromStringAndSize(nullptr, size);
  if (columns == nullptr) return false;
  auto *data = reinterpret_cast<std::int32_t *>(PyBytes_AsString(columns));
  run->records->write_columns(data);
  run->columns = columns;
  run->data = data;
  delete std::exchange(run->records, nullptr);
  return true;
}

PyObject *glyph_at(const GlyphRunObject *run, Py_ssize_t i) {
  std::int32_t values[kGlyphColumns];
  read_fields(run, i, values);
  return new_glyph_record(values, run_glyph_name(run, values[kId]));
}

Py_ssize_t run_length(PyObject *self) { return as_run(self)->count; }

PyObject *run_item(PyObject *self, Py_ssize_t i) {
  GlyphRunObject *run = as_run(self);
  if (i < 0 || i >= run->count) {
    PyErr_SetString(PyExc_IndexError, "glyph index out of range");
    return nullptr;
  }
  return glyph_at(run, i);
}

PyObject *run_subscript(PyObject *self, PyObject *key) {
  GlyphRunObject *run = as_run(self);
  if (PySlice_Check(key)) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    const Py_ssize_t n = PySlice_AdjustIndices(run->count, &start, &stop, step);
    PyRef out(PyTuple_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0, i = start; k < n; ++k, i += step) {
      PyObject *glyph = glyph_at(run, i);
      if (glyph == nullptr) return nullptr;
      PyTuple_SetItem(out.get(), k, glyph);
    }
    return out.release();
  }
  Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) return nullptr;
  if (i < 0) i += run->count;
  return run_item(self, i);
}

// Two runs are equal when their columns and names are; a run is never equal to anything else.
PyObject *run_compare(PyObject *self, PyObject *other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, g_run_type)) Py_RETURN_NOTIMPLEMENTED;
  if (!ensure_columns(as_run(self)) || !ensure_columns(as_run(other))) return nullptr;
  int same = PyObject_RichCompareBool(as_run(self)->columns, as_run(other)->columns, Py_EQ);
  if (same == 1) same = PyObject_RichCompareBool(as_run(self)->names, as_run(other)->names, Py_EQ);
  if (same < 0) return nullptr;
  return PyBool_FromLong((same == 1) == (op == Py_EQ));
}

PyObject *run_iter(PyObject *self) {
  PyObject *iterator = PyType_GenericAlloc(g_iterator_type, 0);
  if (iterator == nullptr) return nullptr;
  Py_INCREF(self);
  GlyphIteratorObject *it = as_iterator(iterator);
  it->run = self;
  it->next = 0;
  it->kept[0] = it->kept[1] = nullptr;
  return iterator;
}

PyObject *iterator_next(PyObject *self) {
  GlyphIteratorObject *it = as_iterator(self);
  if (it->run == nullptr) return nullptr;
  const GlyphRunObject *run = as_run(it->run);
  if (it->next >= run->count) {
    Py_CLEAR(it->run);
    Py_CLEAR(it->kept[0]);
    Py_CLEAR(it->kept[1]);
    return nullptr;
  }
  const Py_ssize_t i = it->next++;
  std::int32_t values[kGlyphColumns];
  read_fields(run, i, values);
  PyObject *name = run_glyph_name(run, values[kId]);
  if (name == nullptr) return nullptr;
  PyObject *&kept = it->kept[i % 2];
  std::int32_t (&held)[kGlyphColumns] = it->held[i % 2];
  if (kept == nullptr || !refill_glyph_record(kept, held, values, name)) {
    Py_CLEAR(kept);
    kept = new_glyph_record(values, name);
    if (kept == nullptr) return nullptr;
  }
  std::memcpy(held, values, sizeof held);
  Py_INCREF(kept);
  return kept;
}

PyObject *iterator_length_hint(PyObject *self, PyObject *) {
  const GlyphIteratorObject *it = as_iterator(self);
  return PyLong_FromSsize_t(it->run != nullptr ? as_run(it->run)->count - it->next : 0);
}

void iterator_dealloc(PyObject *self) {
  Py_XDECREF(as_iterator(self)->run);
  Py_XDECREF(as_iterator(self)->kept[0]);
  Py_XDECREF(as_iterator(self)->kept[1]);
  free_instance(self);
}

void run_dealloc(PyObject *self) {
  Py_XDECREF(as_run(self)->columns);
  Py_XDECREF(as_run(self)->names);
  delete as_run(self)->records;
  free_instance(self);
}

// A run of no glyphs over `names`, a tuple.
PyObject *alloc_run(PyTypeObject *type, PyObject *names) {
  PyObject *self = new_instance(type);
  if (self == nullptr) return nullptr;
  GlyphRunObject *run = as_run(self);
  Py_INCREF(names);
  run->names = names;
  run->name_count = PyTuple_Size(names);
  run->name_items = tuple_items(names);
  return self;
}

// Columns of the run's width from `width` columns: a run pickled before the
// glyph properties were kept (kOldGlyphColumns) gains a kProps column of
// zeros (no class, no cluster start; its properties were not kept). A new
// reference.
PyObject *widened(PyObject *columns, int width) {
  if (width == kGlyphColumns) {
    Py_INCREF(columns);
    return columns;
  }
  const Py_ssize_t size = PyBytes_Size(columns);
  const Py_ssize_t count = size / (width * static_cast<Py_ssize_t>(sizeof(std::int32_t)));
  PyObject *out = PyBytes_FromStringAndSize(nullptr, count * kGlyphColumns * static_cast<Py_ssize_t>(sizeof(std::int32_t)));
  if (out == nullptr) return nullptr;
  char *data = PyBytes_AsString(out);
  std::memcpy(data, PyBytes_AsString(columns), static_cast<std::size_t>(size));
  std::memset(data + size, 0, static_cast<std::size_t>(PyBytes_Size(out) - size));
  return out;
}

PyObject *make_run(PyTypeObject *type, PyObject *columns, PyObject *names, int width) {
  if (!PyBytes_Check(columns) || !PyTuple_Check(names)) {
    PyErr_SetString(PyExc_TypeError, "GlyphRun takes the bytes of its columns and a tuple of glyph names");
    return nullptr;
  }
  if (width != kGlyphColumns && width != kOldGlyphColumns) {
    PyErr_SetString(PyExc_ValueError, "GlyphRun columns are 9 per glyph (8 in a run pickled before the glyph properties were kept)");
    return nullptr;
  }
  const Py_ssize_t row = width * static_cast<Py_ssize_t>(sizeof(std::int32_t));
  if (PyBytes_Size(columns) % row != 0) {
    PyErr_Format(PyExc_ValueError, "GlyphRun columns must hold %d int32 per glyph", width);
    return nullptr;
  }
  PyRef own(widened(columns, width));
  if (!own) return nullptr;
  PyObject *self = alloc_run(type, names);
  if (self == nullptr) return nullptr;
  GlyphRunObject *run = as_run(self);
  run->data = reinterpret_cast<const std::int32_t *>(PyBytes_AsString(own.get()));
  run->count = PyBytes_Size(own.get()) / (kGlyphColumns * static_cast<Py_ssize_t>(sizeof(std::int32_t)));
  run->columns = own.release();
  return self;
}

PyObject *run_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *columns = nullptr, *names = nullptr;
  int width = kOldGlyphColumns;  // what a run pickled before the width was given holds
  static const char *keywords[] = {"columns", "names", "width", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|i:GlyphRun", const_cast<char **>(keywords), &columns, &names,
                                   &width))
    return nullptr;
  return make_run(type, columns, names, width);
}

PyObject *run_columns(PyObject *self, void *) {
  if (!ensure_columns(as_run(self))) return nullptr;
  PyObject *columns = as_run(self)->columns;
  Py_INCREF(columns);
  return columns;
}

PyObject *run_reduce(PyObject *self, PyObject *) {
  if (!ensure_columns(as_run(self))) return nullptr;
  return Py_BuildValue("(O(OOi))", reinterpret_cast<PyObject *>(Py_TYPE(self)), as_run(self)->columns,
                       as_run(self)->names, kGlyphColumns);
}

PyObject *run_repr(PyObject *self) {
  return PyUnicode_FromFormat("<tesvo.GlyphRun of %zd glyphs>", as_run(self)->count);
}

PyGetSetDef g_getset[] = {
    {"columns", run_columns, nullptr,
     "the bytes behind the run: 9 columns of int32 (id, cluster, advance, du, dv, x_offset, y_offset, item, "
     "props: the glyph's SCRIPT_VISATTR, uJustification in bits 0-3, fClusterStart bit 4, fDiacritic 5, "
     "fZeroWidth 6), each as long as the run",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef g_methods[] = {{"__reduce__", run_reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char *>("A result's glyphs: a sequence of Glyph records, each made when it is read.")},
    {Py_tp_new, reinterpret_cast<void *>(run_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(run_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(run_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(run_compare)},
    {Py_tp_getset, g_getset},
    {Py_tp_iter, reinterpret_cast<void *>(run_iter)},
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void *>(run_length)},
    {Py_sq_item, reinterpret_cast<void *>(run_item)},
    {Py_mp_length, reinterpret_cast<void *>(run_length)},
    {Py_mp_subscript, reinterpret_cast<void *>(run_subscript)},
    {0, nullptr}};

PyType_Spec g_spec = {"tesvo.GlyphRun", sizeof(GlyphRunObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

PyMethodDef g_iterator_methods[] = {
    {"__length_hint__", iterator_length_hint, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_iterator_slots[] = {{Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
                                  {Py_tp_iternext, reinterpret_cast<void *>(iterator_next)},
                                  {Py_tp_dealloc, reinterpret_cast<void *>(iterator_dealloc)},
                                  {Py_tp_methods, g_iterator_methods},
                                  {0, nullptr}};

PyType_Spec g_iterator_spec = {"tesvo.GlyphRunIterator", sizeof(GlyphIteratorObject), 0, Py_TPFLAGS_DEFAULT,
                               g_iterator_slots};

}  // namespace

PyObject *glyph_name(PyObject *names, std::int32_t id) {
  if (id >= 0 && id < PyTuple_Size(names)) {
    PyObject *name = PyTuple_GetItem(names, id);
    Py_XINCREF(name);
    return name;
  }
  return PyUnicode_FromFormat("gid%ld", static_cast<long>(id));
}

bool visit_glyph_run(PyObject *object, GlyphVisitor &visitor, bool &ok) {
  ok = true;
  if (g_run_type == nullptr || !PyObject_TypeCheck(object, g_run_type)) return false;
  const GlyphRunObject *run = as_run(object);
  std::int32_t values[kGlyphColumns];
  for (Py_ssize_t i = 0; i < run->count && ok; ++i) {
    read_fields(run, i, values);
    ok = visitor.visit(values, run_glyph_name(run, values[kId]));
  }
  return true;
}

PyObject *make_glyph_run_type() {
  if (g_iterator_type == nullptr) {
    PyObject *type = PyType_FromSpec(&g_iterator_spec);
    if (type == nullptr) return nullptr;
    g_iterator_type = reinterpret_cast<PyTypeObject *>(type);
  }
  if (g_run_type == nullptr) {
    PyObject *type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    g_run_type = reinterpret_cast<PyTypeObject *>(type);
  }
  Py_INCREF(g_run_type);
  return reinterpret_cast<PyObject *>(g_run_type);
}

PyObject *new_glyph_run(PyObject *columns, PyObject *names) {
  return make_run(g_run_type, columns, names, kGlyphColumns);
}

PyObject *new_glyph_run(std::unique_ptr<GlyphRecords> records, PyObject *names) {
  PyObject *self = alloc_run(g_run_type, names);
  if (self == nullptr) return nullptr;
  as_run(self)->count = static_cast<Py_ssize_t>(records->glyphs.size());
  as_run(self)->records = records.release();
  return self;
}

void GlyphRecords::read(std::size_t i, std::int32_t (&values)[kGlyphColumns]) const {
  const ShapedGlyphRecord &g = glyphs[i];
  // HarfBuzz's x offset: the offset along the advance, negated in a
  // right-to-left item (as an unsigned negation: the most negative offset stays itself).
  const auto du = static_cast<std::uint32_t>(g.du);
  values[kId] = g.id;
  values[kCluster] = static_cast<std::int32_t>(index.empty() ? g.cluster : index[g.cluster]);
  values[kAdvance] = g.advance;
  values[kDu] = g.du;
  values[kDv] = g.dv;
  values[kXOffset] = static_cast<std::int32_t>(item_rtl[g.item] != 0 ? 0U - du : du);
  values[kYOffset] = g.dv;
  values[kItem] = static_cast<std::int32_t>(g.item);
  values[kProps] = g.props;
}

void GlyphRecords::write_columns(std::int32_t *data) const {
  const std::size_t n = glyphs.size();
  std::int32_t *column[kGlyphColumns];
  for (int k = 0; k < kGlyphColumns; ++k) column[k] = data + k * n;
  std::int32_t values[kGlyphColumns];
  for (std::size_t i = 0; i < n; ++i) {
    read(i, values);
#pragma GCC unroll 9
    for (int k = 0; k < kGlyphColumns; ++k) column[k][i] = values[k];
  }
}

}  // namespace tesvo::py
