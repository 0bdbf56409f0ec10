// tesvo.result.Glyph as the engine makes it. The package defines the record as
// a NamedTuple; CPython reads a NamedTuple's field through a descriptor it
// calls, and a record of a long text is read hundreds of thousands of times.
// So the class the package exports is the engine's subclass of that
// NamedTuple, whose fields are member descriptors over the tuple's own item
// slots: the interpreter reads those inline, as it reads __slots__. Every
// record also has room for all its fields, whatever its length (see
// alloc_record), and the integers of the fields that repeat come from a
// table made once.
#include "python/types/glyph_record.h"

#include "output/package_json.h"

#include <structmember.h>  // PyMemberDef, T_OBJECT_EX, READONLY: the limited API of 3.9 keeps them here

#include <algorithm>
#include <array>

namespace tesvo::py {

namespace {

constexpr std::array<const char *, kGlyphFields> kFieldNames = {
    "id",   "cluster",       "advance",       "du",        "dv",        "x_offset", "y_offset",
    "item", "name",          "justification", "cluster_start", "diacritic", "zero_width"};
// As NamedTuple documents its fields.
constexpr std::array<const char *, kGlyphFields> kFieldDocs = {
    "Alias for field number 0",  "Alias for field number 1",  "Alias for field number 2",
    "Alias for field number 3",  "Alias for field number 4",  "Alias for field number 5",
    "Alias for field number 6",  "Alias for field number 7",  "Alias for field number 8",
    "Alias for field number 9",  "Alias for field number 10", "Alias for field number 11",
    "Alias for field number 12"};
// Process-wide, as the module serves one interpreter: the record class, the
// NamedTuple it extends, and its field descriptors' definitions, which the
// descriptors point at for as long as they live.
PyTypeObject *g_glyph_type = nullptr;
PyObject *g_fields = nullptr;
std::array<PyMemberDef, kGlyphFields> g_members{};
// Bytes from the start of a tuple to its first item pointer.
Py_ssize_t g_first_item = 0;
// True where a tuple holds nothing but its header and its items, so that a
// record refilled is in every way the record a new one would be (a Python
// that caches a tuple's hash in it has a larger fixed part).
bool g_refillable = false;

// The integers of a record's fields from kLowestKept on, kKeptInts of them,
// made when first used and kept (at most 2 MB): glyph ids, advances, offsets
// and item numbers repeat from glyph to glyph, and so do the clusters of a
// text read again, and an int made for each costs more than the rest of the
// record. Every glyph id is among them.
constexpr std::int32_t kLowestKept = -1024;
constexpr std::uint32_t kKeptInts = 1024 + 65536;  // up to 65535
std::array<PyObject *, kKeptInts> g_kept_ints{};

// The index of a value among the kept ints; kKeptInts or more for one that is not kept.
std::uint32_t kept_index(std::int32_t value) {
  return static_cast<std::uint32_t>(value) - static_cast<std::uint32_t>(kLowestKept);
}

// The kept int at `index` (below kKeptInts), made on first use; borrowed, or
// null with an exception set.
PyObject *kept_int(std::uint32_t index) {
  PyObject *&kept = g_kept_ints[index];
  if (kept == nullptr) kept = PyLong_FromLong(static_cast<long>(index) + kLowestKept);
  return kept;
}

// The four property fields of each packed SCRIPT_VISATTR (the justification
// name as str, then the three flags as bools), made when first used and kept
// like the ints: a record's properties are then four pointers to compare.
constexpr std::size_t kPackedValues = 128;  // the seven bits packed_visattr uses
static_assert((kPackedJustification | kPackedClusterStart | kPackedDiacritic | kPackedZeroWidth) < kPackedValues);
std::array<std::array<PyObject *, kPropFields>, kPackedValues> g_prop_objects{};

// The kept fields of `packed` (borrowed), made on first use; null with an exception set.
PyObject *const *prop_objects(std::int32_t packed) {
  std::array<PyObject *, kPropFields> &kept = g_prop_objects[static_cast<std::size_t>(packed) & (kPackedValues - 1)];
  if (kept[0] == nullptr) {
    const std::string_view text = justification_name(static_cast<unsigned>(packed) & kPackedJustification);
    PyObject *name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name == nullptr) return nullptr;
    kept[1] = PyBool_FromLong((packed & kPackedClusterStart) != 0);
    kept[2] = PyBool_FromLong((packed & kPackedDiacritic) != 0);
    kept[3] = PyBool_FromLong((packed & kPackedZeroWidth) != 0);
    kept[0] = name;
  }
  return kept.data();
}

// The four fields of a packed SCRIPT_VISATTR into slots[0..4), as new
// references; false with an exception set.
bool prop_fields(std::int32_t packed, PyObject **slots) {
  PyObject *const *kept = prop_objects(packed);
  if (kept == nullptr) return false;
  for (int k = 0; k < kPropFields; ++k) {
    Py_INCREF(kept[k]);
    slots[k] = kept[k];
  }
  return true;
}

PyObject *int_object(std::int32_t value) {
  const std::uint32_t index = kept_index(value);
  if (index >= kKeptInts) return PyLong_FromLong(value);
  PyObject *kept = kept_int(index);
  Py_XINCREF(kept);
  return kept;
}

PyObject **item_slots(PyObject *tuple) {
  return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(tuple) + g_first_item);
}

Py_ssize_t type_size(const char *attribute) {
  PyRef value(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyTuple_Type), attribute));
  return value ? PyLong_AsSsize_t(value.get()) : -1;
}

// Where this interpreter keeps a tuple's items: as in every object of
// variable size, after its fixed part (tuple.__basicsize__ bytes), one
// pointer apart (tuple.__itemsize__). Checked on a tuple before it is relied on.
bool read_tuple_layout() {
  const Py_ssize_t first = type_size("__basicsize__");
  const Py_ssize_t step = type_size("__itemsize__");
  if (first < 0 || step < 0) return false;
  PyRef probe(PyTuple_Pack(2, Py_None, Py_True));
  if (!probe) return false;
  const auto *items = reinterpret_cast<PyObject *const *>(reinterpret_cast<const char *>(probe.get()) + first);
  if (step != static_cast<Py_ssize_t>(sizeof(PyObject *)) || items[0] != Py_None || items[1] != Py_True) {
    PyErr_SetString(PyExc_RuntimeError, "tesvo._engine: this Python lays out tuples in a way the engine does not know");
    return false;
  }
  g_first_item = first;
  g_refillable = first == static_cast<Py_ssize_t>(sizeof(PyVarObject));
  return true;
}

// Every record has room for all its fields, also one that tuple.__new__ made
// shorter: a field past its end is then a NULL slot, which reads as
// AttributeError, never as memory beyond the object.
PyObject *alloc_record(PyTypeObject *type, Py_ssize_t items) {
  PyObject *record = PyType_GenericAlloc(type, std::max<Py_ssize_t>(items, kGlyphFields));
  if (record != nullptr && items < kGlyphFields) Py_SET_SIZE(reinterpret_cast<PyVarObject *>(record), items);
  return record;
}

// The package's NamedTuple: a class deriving from tuple with the fields of
// kFieldNames, in that order.
bool check_fields(PyObject *fields) {
  if (!PyType_Check(fields) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(fields), &PyTuple_Type)) {
    PyErr_SetString(PyExc_TypeError, "the Glyph fields must be a NamedTuple class");
    return false;
  }
  PyRef names(PyObject_GetAttrString(fields, "_fields"));
  if (!names) return false;
  bool same = PyTuple_Check(names.get()) && PyTuple_Size(names.get()) == kGlyphFields;
  for (Py_ssize_t k = 0; same && k < kGlyphFields; ++k)
    same = PyUnicode_CompareWithASCIIString(PyTuple_GetItem(names.get(), k), kFieldNames[k]) == 0;
  if (!same) PyErr_SetString(PyExc_TypeError, "the Glyph fields must be id, cluster, advance, du, dv, x_offset, "
                                              "y_offset, item, name, justification, cluster_start, diacritic "
                                              "and zero_width");
  return same;
}

// The class attributes a reader of the record class looks for on it.
bool copy_attributes(PyObject *from, PyObject *to) {
  for (const char *name : {"__doc__", "__annotations__"}) {
    PyRef value(PyObject_GetAttrString(from, name));
    if (!value || PyObject_SetAttrString(to, name, value.get()) != 0) return false;
  }
  return true;
}

bool add_field_descriptors(PyObject *type) {
  for (std::size_t k = 0; k < kGlyphFields; ++k) {
    g_members[k] = PyMemberDef{const_cast<char *>(kFieldNames[k]), T_OBJECT_EX,
                               g_first_item + static_cast<Py_ssize_t>(k * sizeof(PyObject *)), READONLY,
                               const_cast<char *>(kFieldDocs[k])};
    PyRef descriptor(PyDescr_NewMember(reinterpret_cast<PyTypeObject *>(type), &g_members[k]));
    if (!descriptor || PyObject_SetAttrString(type, kFieldNames[k], descriptor.get()) != 0) return false;
  }
  return true;
}

PyType_Slot g_slots[] = {{Py_tp_alloc, reinterpret_cast<void *>(alloc_record)}, {0, nullptr}};
PyType_Spec g_spec = {"tesvo.result.Glyph", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, g_slots};

}  // namespace

PyObject *make_glyph_type(PyObject *fields) {
  if (g_glyph_type != nullptr) {
    if (fields != g_fields) {
      PyErr_SetString(PyExc_RuntimeError, "the Glyph type is made once");
      return nullptr;
    }
    Py_INCREF(g_glyph_type);
    return reinterpret_cast<PyObject *>(g_glyph_type);
  }
  if (!check_fields(fields) || !read_tuple_layout()) return nullptr;
  PyRef bases(PyTuple_Pack(1, fields));
  if (!bases) return nullptr;
  PyRef type(PyType_FromSpecWithBases(&g_spec, bases.get()));
  if (!type || !copy_attributes(fields, type.get()) || !add_field_descriptors(type.get())) return nullptr;
  Py_INCREF(fields);
  g_fields = fields;
  Py_INCREF(type.get());
  g_glyph_type = reinterpret_cast<PyTypeObject *>(type.get());
  return type.release();
}

PyObject *const *tuple_items(PyObject *tuple) { return g_first_item != 0 ? item_slots(tuple) : nullptr; }

PyObject *new_glyph_record(const std::int32_t (&values)[kGlyphColumns], PyObject *name) {
  PyRef owned_name(name);
  if (name == nullptr) return nullptr;
  if (g_glyph_type == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "tesvo._engine has no Glyph type yet (import tesvo)");
    return nullptr;
  }
  PyObject *record = PyType_GenericAlloc(g_glyph_type, kGlyphFields);
  if (record == nullptr) return nullptr;
  // A new tuple's slots are empty and only ours: filled as PyTuple_SET_ITEM
  // fills them. Should an int fail, the record is freed with the slots filled so far.
  PyObject **items = item_slots(record);
  for (int k = 0; k < kIntFields; ++k) {
    items[k] = int_object(values[k]);
    if (items[k] == nullptr) {
      Py_DECREF(record);
      return nullptr;
    }
  }
  items[kNameField] = owned_name.release();
  if (!prop_fields(values[kProps], items + kNameField + 1)) {
    Py_DECREF(record);
    return nullptr;
  }
  return record;
}

bool refill_glyph_record(PyObject *record, const std::int32_t (&held)[kGlyphColumns],
                         const std::int32_t (&values)[kGlyphColumns], PyObject *name) {
  if (!g_refillable || Py_TYPE(record) != g_glyph_type || Py_REFCNT(record) != 1) return false;
  // Field by field, as nothing but the caller sees the record. Most fields
  // keep their value from one glyph to the next but one (the offsets, the
  // item, often the advance): those stay as they are, the int not even
  // looked at. The old fields are ints and the names tuple's strings, which
  // the run keeps alive: releasing one runs no code that could see the record.
  PyObject **items = item_slots(record);
#pragma GCC unroll 8  // a fixed eight fields, each a handful of instructions: no loop to count
  for (int k = 0; k < kIntFields; ++k) {
    if (values[k] == held[k]) continue;
    const std::uint32_t index = kept_index(values[k]);
    PyObject *field;
    if (index < kKeptInts) {
      field = kept_int(index);
      Py_XINCREF(field);
    } else {
      field = PyLong_FromLong(values[k]);
    }
    if (field == nullptr) {
      PyErr_Clear();  // the caller drops the record and makes a new one, which raises again
      return false;
    }
    PyObject *old = items[k];
    items[k] = field;
    Py_XDECREF(old);
  }
  if (values[kProps] != held[kProps]) {
    // The class names and the bools are kept objects: releasing the old ones runs no code.
    PyObject *const *kept = prop_objects(values[kProps]);
    if (kept == nullptr) {
      PyErr_Clear();  // as for an int above
      return false;
    }
    for (int k = 0; k < kPropFields; ++k) {
      PyObject *&slot = items[kNameField + 1 + k];
      if (slot == kept[k]) continue;  // most fields: the same object
      Py_INCREF(kept[k]);
      PyObject *was = slot;
      slot = kept[k];
      Py_XDECREF(was);
    }
  }
  PyObject *old = items[kNameField];
  items[kNameField] = name;
  Py_XDECREF(old);
  return true;
}

}  // namespace tesvo::py
