// tesvo._engine.GlyphRun: a result's glyphs kept as columns of integers in one
// bytes object, read as Glyph records made on access. A run of 100,000 glyphs
// is one 3.2 MB object that the garbage collector never visits; the columns
// themselves go to Python as memoryviews of the bytes (the limited API of 3.9
// has no buffer protocol for types of our own), so numpy reads them in place.
// A record is the package's Glyph NamedTuple, allocated as the tuple it is and
// filled in place: no call of the class, no type dictionary looked at; its name
// is the font's names tuple's entry for the glyph id, shared, not copied.
#include "lib/py_glyph_run.h"

#include <cstdint>
#include <cstring>

namespace tesvo::py {

namespace {

struct GlyphRunObject {
  PyObject_HEAD
  PyObject *columns;  // bytes
  PyObject *names;    // tuple of str, the font's glyph names by id
  const std::int32_t *data;
  Py_ssize_t count;
};

// Process-wide, as the record types are: the module serves one interpreter.
PyTypeObject *g_run_type = nullptr;
PyTypeObject *g_glyph_type = nullptr;  // set by use_glyph_type, once
allocfunc g_glyph_alloc = nullptr;

GlyphRunObject *as_run(PyObject *self) { return reinterpret_cast<GlyphRunObject *>(self); }

std::int32_t field(const GlyphRunObject *run, int column, Py_ssize_t i) { return run->data[column * run->count + i]; }

PyObject *glyph_at(GlyphRunObject *run, Py_ssize_t i) {
  if (g_glyph_alloc == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "tesvo._engine has no Glyph type yet (import tesvo)");
    return nullptr;
  }
  PyObject *glyph = g_glyph_alloc(g_glyph_type, kGlyphFields);
  if (glyph == nullptr) return nullptr;
  for (int k = 0; k < kGlyphFields; ++k) {
    PyObject *value = k < kGlyphColumns ? PyLong_FromLong(field(run, k, i)) : glyph_name(run->names, field(run, kId, i));
    if (value == nullptr) {
      Py_DECREF(glyph);
      return nullptr;
    }
    PyTuple_SetItem(glyph, k, value);
  }
  return glyph;
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
  int same = PyObject_RichCompareBool(as_run(self)->columns, as_run(other)->columns, Py_EQ);
  if (same == 1) same = PyObject_RichCompareBool(as_run(self)->names, as_run(other)->names, Py_EQ);
  if (same < 0) return nullptr;
  return PyBool_FromLong((same == 1) == (op == Py_EQ));
}

void run_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  Py_XDECREF(as_run(self)->columns);
  Py_XDECREF(as_run(self)->names);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject *make_run(PyTypeObject *type, PyObject *columns, PyObject *names) {
  if (!PyBytes_Check(columns) || !PyTuple_Check(names)) {
    PyErr_SetString(PyExc_TypeError, "GlyphRun takes the bytes of its columns and a tuple of glyph names");
    return nullptr;
  }
  const Py_ssize_t size = PyBytes_Size(columns);
  constexpr Py_ssize_t kRow = kGlyphColumns * sizeof(std::int32_t);
  if (size % kRow != 0) {
    PyErr_SetString(PyExc_ValueError, "GlyphRun columns must hold 8 int32 per glyph");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  GlyphRunObject *run = as_run(self);
  Py_INCREF(columns);
  run->columns = columns;
  Py_INCREF(names);
  run->names = names;
  run->data = reinterpret_cast<const std::int32_t *>(PyBytes_AsString(columns));
  run->count = size / kRow;
  return self;
}

PyObject *run_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *columns = nullptr, *names = nullptr;
  static const char *keywords[] = {"columns", "names", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:GlyphRun", const_cast<char **>(keywords), &columns, &names))
    return nullptr;
  return make_run(type, columns, names);
}

PyObject *run_columns(PyObject *self, void *) {
  PyObject *columns = as_run(self)->columns;
  Py_INCREF(columns);
  return columns;
}

PyObject *run_reduce(PyObject *self, PyObject *) {
  return Py_BuildValue("(O(OO))", reinterpret_cast<PyObject *>(Py_TYPE(self)), as_run(self)->columns,
                       as_run(self)->names);
}

PyObject *run_repr(PyObject *self) {
  return PyUnicode_FromFormat("<tesvo.GlyphRun of %zd glyphs>", as_run(self)->count);
}

PyGetSetDef g_getset[] = {
    {"columns", run_columns, nullptr,
     "the bytes behind the run: 8 columns of int32 (id, cluster, advance, du, dv, x_offset, y_offset, item), "
     "each as long as the run",
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
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void *>(run_length)},
    {Py_sq_item, reinterpret_cast<void *>(run_item)},
    {Py_mp_length, reinterpret_cast<void *>(run_length)},
    {Py_mp_subscript, reinterpret_cast<void *>(run_subscript)},
    {0, nullptr}};

PyType_Spec g_spec = {"tesvo.GlyphRun", sizeof(GlyphRunObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

PyObject *glyph_name(PyObject *names, std::int32_t id) {
  if (id >= 0 && id < PyTuple_Size(names)) {
    PyObject *name = PyTuple_GetItem(names, id);
    Py_XINCREF(name);
    return name;
  }
  return PyUnicode_FromFormat("gid%ld", static_cast<long>(id));
}

PyObject *make_glyph_run_type() {
  if (g_run_type == nullptr) {
    PyObject *type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    g_run_type = reinterpret_cast<PyTypeObject *>(type);
  }
  Py_INCREF(g_run_type);
  return reinterpret_cast<PyObject *>(g_run_type);
}

PyObject *use_glyph_type(PyObject *type) {
  if (g_glyph_type != nullptr) {
    if (type == reinterpret_cast<PyObject *>(g_glyph_type)) Py_RETURN_NONE;
    PyErr_SetString(PyExc_RuntimeError, "the Glyph type is set once");
    return nullptr;
  }
  // A heap type deriving from tuple without slots of its own: its instances are
  // tuples of kGlyphFields items, as a NamedTuple's are.
  if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type), &PyTuple_Type) ||
      (PyType_GetFlags(reinterpret_cast<PyTypeObject *>(type)) & Py_TPFLAGS_HEAPTYPE) == 0) {
    PyErr_SetString(PyExc_TypeError, "the Glyph type must be a NamedTuple class");
    return nullptr;
  }
  auto *glyph_type = reinterpret_cast<PyTypeObject *>(type);
  Py_INCREF(type);
  g_glyph_type = glyph_type;
  g_glyph_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(glyph_type, Py_tp_alloc));
  Py_RETURN_NONE;
}

PyObject *new_glyph_run(PyObject *columns, PyObject *names) { return make_run(g_run_type, columns, names); }

}  // namespace tesvo::py
