// The Python surface of _tesvo, the compatibility module: its initialisation,
// and shape_json with its argument binding, its temporary font file and the
// outcome it turns into a str or an exception. Everything it calls is plain
// C++ that runs without the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "compat/shape_json.h"
#include "base/environment.h"
#include "cpython/py_boundary.h"
#include "base/system_error.h"
#include "text/utf.h"

namespace {

constexpr const char *kVersion = TESVO_VERSION;

PyObject *g_module = nullptr;                   // created once, kept for the process
std::atomic<std::int64_t> g_interpreter{-1};    // the interpreter that imported us
std::atomic<std::uint64_t> g_temp_counter{0};   // N of the temporary file names

using tesvo::PyRef;
using tesvo::py::type_name;

// ---- arguments -----------------------------------------------------------

enum Param { kData, kText, kScript, kLanguage, kDirection, kFeatures, kUsp10, kTrace, kWineBytes, kTextshaping, kParams };

constexpr std::array<const char *, kParams> kNames = {"data",     "text",  "script", "language",   "direction",
                                                      "features", "usp10", "trace",  "wine_bytes", "textshaping"};

void type_error(const std::string &message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

void conversion_error(PyObject *object, const char *target) {
  std::string message(1, '\'');
  message += type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  type_error(message);
}

// A conversion's TypeError becomes "argument 'name': {message}" with the same
// __cause__; other exceptions pass unchanged.
void reword_conversion_error(const char *name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  if (type != PyExc_TypeError || value == nullptr) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return;
  }
  PyRef text(PyObject_Str(value));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  PyObject *cause = PyException_GetCause(value);  // new reference or null
  if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals cause
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool to_utf8(PyObject *object, const char *name, std::string &out) {
  if (!PyUnicode_Check(object)) {
    conversion_error(object, "PyString");
    reword_conversion_error(name);
    return false;
  }
  PyRef bytes(PyUnicode_AsUTF8String(object));  // lone surrogates raise UnicodeEncodeError
  if (!bytes) {
    reword_conversion_error(name);
    return false;
  }
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool attribute_equals(PyObject *object, const char *attribute, std::initializer_list<const char *> values) {
  PyRef value(PyObject_GetAttrString(object, attribute));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return false;
  }
  for (const char *v : values)
    if (PyUnicode_CompareWithASCIIString(value.get(), v) == 0) return true;
  return false;
}

// True or False, or numpy's bool scalar through its type's __bool__.
bool numpy_bool(PyObject *object, bool &out) {
  auto *type = reinterpret_cast<PyObject *>(Py_TYPE(object));
  PyRef method(PyObject_GetAttrString(type, "__bool__"));
  if (!method) return false;
  PyRef result(PyObject_CallFunctionObjArgs(method.get(), object, nullptr));
  if (!result) return false;
  if (!PyBool_Check(result.get())) {
    conversion_error(result.get(), "PyBool");
    return false;
  }
  out = result.get() == Py_True;
  return true;
}

bool to_bool(PyObject *object, const char *name, bool &out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  auto *type = reinterpret_cast<PyObject *>(Py_TYPE(object));
  bool is_numpy = attribute_equals(type, "__module__", {"numpy"}) && attribute_equals(type, "__name__", {"bool_", "bool"});
  if (is_numpy) {
    if (numpy_bool(object, out)) return true;
  } else {
    conversion_error(object, "PyBool");
  }
  reword_conversion_error(name);
  return false;
}

// Binds positional and keyword arguments to the ten parameters.
bool bind_arguments(PyObject *args, PyObject *kwargs, std::array<PyObject *, kParams> &slots) {
  slots.fill(nullptr);
  Py_ssize_t positional = PyTuple_Size(args);
  if (positional > 2) {
    type_error("shape_json() takes 2 positional arguments but " + std::to_string(positional) + " were given");
    return false;
  }
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      int found = -1;
      if (PyUnicode_Check(key))
        for (int p = 0; p < kParams && found < 0; ++p)
          if (PyUnicode_CompareWithASCIIString(key, kNames[p]) == 0) found = p;
      if (found < 0) {
        PyRef text(PyObject_Str(key));
        if (!text) return false;
        PyErr_Format(PyExc_TypeError, "shape_json() got an unexpected keyword argument '%U'", text.get());
        return false;
      }
      if (slots[found] != nullptr) {
        type_error(std::string("shape_json() got multiple values for argument '") + kNames[found] + "'");
        return false;
      }
      slots[found] = value;
    }
  }

  if (slots[kData] == nullptr && slots[kText] == nullptr) {
    type_error("shape_json() missing 2 required positional arguments: 'data' and 'text'");
    return false;
  }
  if (slots[kData] == nullptr || slots[kText] == nullptr) {
    type_error(std::string("shape_json() missing 1 required positional argument: '") +
               (slots[kData] == nullptr ? "data" : "text") + "'");
    return false;
  }
  return true;
}

struct Arguments {
  PyObject *data = nullptr;  // borrowed bytes, used in place
  tesvo::ShapeOpts opts;
};

bool convert_string(PyObject *slot, Param p, std::string &out) { return slot == nullptr || to_utf8(slot, kNames[p], out); }
bool convert_flag(PyObject *slot, Param p, bool &out) { return slot == nullptr || to_bool(slot, kNames[p], out); }

bool convert_arguments(const std::array<PyObject *, kParams> &slots, Arguments &a) {
  if (!PyBytes_Check(slots[kData])) {
    conversion_error(slots[kData], "PyBytes");
    reword_conversion_error("data");
    return false;
  }
  a.data = slots[kData];
  tesvo::ShapeOpts &o = a.opts;
  if (!to_utf8(slots[kText], "text", o.text)) return false;
  if (!convert_string(slots[kScript], kScript, o.script)) return false;
  if (!convert_string(slots[kLanguage], kLanguage, o.language)) return false;
  if (!convert_string(slots[kDirection], kDirection, o.direction)) return false;
  if (slots[kFeatures] != nullptr && slots[kFeatures] != Py_None && !to_utf8(slots[kFeatures], "features", o.features))
    return false;
  if (slots[kUsp10] != nullptr && slots[kUsp10] != Py_None) {
    o.usp10.emplace();
    if (!to_utf8(slots[kUsp10], "usp10", *o.usp10)) return false;
  }
  return convert_flag(slots[kTrace], kTrace, o.trace) && convert_flag(slots[kWineBytes], kWineBytes, o.wine_bytes) &&
         convert_flag(slots[kTextshaping], kTextshaping, o.textshaping);
}

// ---- the temporary font file ---------------------------------------------

std::string temp_font_path() {
  std::uint64_t n = g_temp_counter.fetch_add(1, std::memory_order_seq_cst);
  const char *tmpdir = std::getenv("TMPDIR");
  std::string path = tmpdir != nullptr ? tmpdir : "/tmp";
  if (!path.empty() && path.back() != '/') path += '/';
  return path + "tesvo_" + std::to_string(::getpid()) + "_" + std::to_string(n) + ".font";
}

// The per-call copy of the font bytes; removed when the owner goes.
class TempFontFile {
 public:
  explicit TempFontFile(std::string path) : path_(std::move(path)) {}
  TempFontFile(const TempFontFile &) = delete;
  TempFontFile &operator=(const TempFontFile &) = delete;
  ~TempFontFile() { remove(); }

  // Creates the file afresh, readable by this user only, and writes all bytes.
  // A name that exists (a stale file, or a link planted in a shared
  // directory) is removed, never followed or truncated, and the create tried
  // once more. Returns 0 or the error number.
  int write(const char *data, std::size_t size) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path_.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(path_.c_str()) == 0) fd = ::open(path_.c_str(), flags, 0600);
    if (fd < 0) return errno;
    created_ = true;
    tesvo::UniqueFd file(fd);
    std::size_t written = 0;
    while (written < size) {
      ssize_t n = ::write(fd, data + written, size - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      written += static_cast<std::size_t>(n);
    }
    return 0;
  }

  void remove() {
    if (created_) ::unlink(path_.c_str());
    created_ = false;
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  bool created_ = false;
};

// ---- running the engine --------------------------------------------------

PyObject *runtime_error(std::string_view message) { return tesvo::py::set_error(PyExc_RuntimeError, message); }

// The outcome as the caller sees it: the text, or RuntimeError with the
// engine's message, or with the panic message for whatever escaped the engine
// (running out of memory included: this call has one error for both).
PyObject *outcome_object(std::variant<tesvo::Result<tesvo::JsonText>, tesvo::py::Escape> &outcome) {
  auto *result = std::get_if<tesvo::Result<tesvo::JsonText>>(&outcome);
  if (result == nullptr) return runtime_error(tesvo::py::kPanicMessage);
  if (!*result) return runtime_error(result->error());
  return PyUnicode_DecodeUTF8((*result)->data(), static_cast<Py_ssize_t>((*result)->size()), "strict");
}

PyObject *shape_json_call(PyObject *args, PyObject *kwargs) {
  std::array<PyObject *, kParams> slots;
  if (!bind_arguments(args, kwargs, slots)) return nullptr;
  Arguments a;
  if (!convert_arguments(slots, a)) return nullptr;

  TempFontFile file(temp_font_path());
  char *bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(a.data, &bytes, &size) != 0) return nullptr;
  if (int error = file.write(bytes, static_cast<std::size_t>(size)); error != 0) {
    file.remove();
    return runtime_error("write font: " + tesvo::os_error_text(error));
  }
  a.opts.font = tesvo::utf8_lossy(file.path());

  // Taken while the interpreter lock keeps os.environ from changing: the
  // engine reads this copy, never the environment, while the lock is free.
  tesvo::EnvironmentCopy environment;
  std::variant<tesvo::Result<tesvo::JsonText>, tesvo::py::Escape> outcome = tesvo::py::Escape::panic;
  {
    tesvo::py::InterpreterReleased released;
    outcome = tesvo::py::contain([&] { return tesvo::shape_json(std::move(a.opts)); });
    file.remove();
  }
  return outcome_object(outcome);
}

PyObject *shape_json(PyObject *, PyObject *args, PyObject *kwargs) {
  return tesvo::py::guarded([&] { return shape_json_call(args, kwargs); });
}

// ---- the module ------------------------------------------------------------

PyMethodDef g_shape_json_def = {
    "shape_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shape_json)),
    METH_VARARGS | METH_KEYWORDS,
    "shape_json(data, text, *, script=\"\", language=\"\", direction=\"auto\", features=None, usp10=None, "
    "trace=False, wine_bytes=False, textshaping=False)\n--\n\n"
    "Shape `text` with the font bytes `data` and return the quillon engine\n"
    "JSON string (same schema as the `tesvo` CLI stdout)."};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "_tesvo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Adds an attribute and lists its name in __all__.
bool add_exported(PyObject *module, const char *name, PyObject *value) {
  PyRef owned(value);
  if (!owned) return false;
  PyObject *all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) != 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  PyRef owned_all(all);
  PyRef text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

PyObject *create_module() {
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyRef name(PyUnicode_FromString("_tesvo"));
  if (!name) return nullptr;
  if (!add_exported(module.get(), "shape_json", PyCFunction_NewEx(&g_shape_json_def, module.get(), name.get())))
    return nullptr;
  if (!add_exported(module.get(), "__version__", PyUnicode_FromString(kVersion))) return nullptr;
  return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__tesvo(void) {
  if (!tesvo::py::claim_interpreter(g_interpreter, "_tesvo")) return nullptr;
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject *module = create_module();
  if (module == nullptr) return nullptr;
  g_module = module;  // the process keeps one reference for good
  Py_INCREF(g_module);
  return module;
}
