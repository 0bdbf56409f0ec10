// An owned reference to a Python object, shared by the two Python surfaces
// (module.cpp and engine_module.cpp): released on every path out of a scope.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace tesvo {

class PyRef {
 public:
  explicit PyRef(PyObject *object = nullptr) : object_(object) {}
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  ~PyRef() { Py_XDECREF(object_); }
  PyObject *get() const { return object_; }
  PyObject *release() {
    PyObject *o = object_;
    object_ = nullptr;
    return o;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject *object_;
};

}  // namespace tesvo
