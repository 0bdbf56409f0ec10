// The boundary code both Python surfaces share (module.cpp and
// engine_module.cpp): the one interpreter a module serves, type names in
// messages, errors from engine messages, the interpreter lock released around
// engine work, and the containment of whatever escapes the engine.
#pragma once

#include "cpython/py_ref.h"  // first: Python.h comes before any standard header

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <variant>

namespace tesvo::py {

// The message of a contained failure: a broken invariant, or a backend that
// broke its contract.
inline constexpr const char *kPanicMessage = "tesvo engine panicked (unsupported usp10 build? see README)";

// Records the interpreter importing `module` on its first import. The module
// keeps process-wide objects, so any other interpreter gets ImportError.
inline bool claim_interpreter(std::atomic<std::int64_t> &recorded, const char *module) {
  PyInterpreterState *interpreter = PyInterpreterState_Get();
  const std::int64_t id = interpreter != nullptr ? PyInterpreterState_GetID(interpreter) : -1;
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return false;
  }
  std::int64_t expected = -1;
  if (recorded.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_Format(PyExc_ImportError,
               "%s does not support subinterpreters: it can be imported in one interpreter per process", module);
  return false;
}

// The __qualname__ of an object's type, as argument errors name it.
inline std::string type_name(PyObject *object) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), "__qualname__"));
  PyRef utf8(name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8String(name.get()) : nullptr);
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return PyBytes_AsString(utf8.get());
}

// Raises `type` with a message in UTF-8 (invalid sequences replaced); null.
inline PyObject *set_error(PyObject *type, std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

// The interpreter lock released for engine work, and taken again on every way out.
class InterpreterReleased {
 public:
  InterpreterReleased() : saved_(PyEval_SaveThread()) {}
  InterpreterReleased(const InterpreterReleased &) = delete;
  InterpreterReleased &operator=(const InterpreterReleased &) = delete;
  ~InterpreterReleased() { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState *saved_;
};

// What escaped an engine call instead of its result.
enum class Escape { out_of_memory, panic };

// One line on standard error for a contained failure, written whole.
inline void report_failure(const char *what) noexcept {
  try {
    const std::string line = std::string("tesvo: engine failure: ") + what + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
  } catch (...) {
  }
}

// Runs an engine call, safe without the interpreter lock: its result, or what
// escaped it. Nothing is thrown on.
template <class Work> auto contain(Work &&work) noexcept -> std::variant<decltype(work()), Escape> {
  try {
    return work();
  } catch (const std::bad_alloc &) {
    return Escape::out_of_memory;
  } catch (const std::exception &e) {
    report_failure(e.what());
  } catch (...) {
  }
  return Escape::panic;
}

// Sets the Python error of an escape: MemoryError, or the panic RuntimeError; null.
inline PyObject *escape_error(Escape escape) {
  if (escape == Escape::out_of_memory) return PyErr_NoMemory();
  return set_error(PyExc_RuntimeError, kPanicMessage);
}

// Runs the body of a Python function, its allocations included: a C++
// exception never crosses into the interpreter.
template <class Body> PyObject *guarded(Body &&body) noexcept {
  std::variant<PyObject *, Escape> out = contain(body);
  if (const Escape *escape = std::get_if<Escape>(&out)) return escape_error(*escape);
  return std::get<PyObject *>(out);
}

// A new, zeroed instance of one of the modules' heap types, through its tp_alloc
// slot (the limited API has no field to read it from); null with an exception set.
inline PyObject *new_instance(PyTypeObject *type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

// The end of a tp_dealloc of such a type, its fields released: the object's
// memory through its tp_free slot, then the reference each instance holds to
// its heap type.
inline void free_instance(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace tesvo::py
