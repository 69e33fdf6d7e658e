#include "bindings/errors.h"

#include <Python.h>

namespace bindings {
namespace {

// Null for no fault.
PyObject* ExceptionFor(sequences::Fault fault) {
  using sequences::Fault;
  switch (fault) {
    case Fault::kNone: return nullptr;
    case Fault::kWrongKind: return PyExc_TypeError;
    case Fault::kIndexOutOfRange:
    case Fault::kSubRangeOutOfBounds: return PyExc_IndexError;
    case Fault::kAppendThroughNothing: return PyExc_ValueError;
    case Fault::kNoMemory: return PyExc_MemoryError;
  }
  return PyExc_MemoryError;
}

}  // namespace

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

void RaiseFault(const sequences::Status& status) {
  PyObject* type = ExceptionFor(status.fault());
  if (type == nullptr) return;
  if (type != PyExc_MemoryError) {
    try {
      PyErr_SetString(type, status.message().c_str());
      return;
    } catch (const std::bad_alloc&) {
      // No memory for the message: MemoryError instead.
    }
  }
  PyErr_NoMemory();
}

}  // namespace bindings
