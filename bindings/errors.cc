#include "bindings/errors.h"

#include <Python.h>

namespace bindings {

void RaiseIndexError(const std::string& message) {
  PyErr_SetString(PyExc_IndexError, message.c_str());
}

void RaiseTypeError(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

void RaiseValueError(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

void RaiseRuntimeError(const std::string& message) {
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
}

void RaiseMemoryError() { PyErr_NoMemory(); }

}  // namespace bindings
