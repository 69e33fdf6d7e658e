// Method tables and types: a C function of any of the calling conventions
// as the PyCFunction that PyMethodDef holds, slot functions, and the types
// the module defines.
#ifndef ALPHABET_NATIVE_COMMON_METHODS_H_
#define ALPHABET_NATIVE_COMMON_METHODS_H_

#include <Python.h>

#include <cstddef>

namespace native {

// The table keeps the flag that says how to call it back (METH_FASTCALL,
// METH_VARARGS | METH_KEYWORDS, ...); the cast through void (*)() keeps the
// compiler from warning about the differing signature.
template <class Function>
PyCFunction AsMethod(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A slot's function for PyType_Slot.
template <class Function>
void* AsSlot(Function* function) {
  return reinterpret_cast<void*>(function);
}

// What a type of the native module is made from: its dotted name, the
// size of an instance, its flags and slots (a static table), and its base
// (object when none).
struct TypeDefinition {
  const char* name;
  size_t basicsize;
  unsigned int flags;
  PyType_Slot* slots;
  PyTypeObject* base = nullptr;
};

// Makes `type` from `definition` unless an earlier import made it, then
// adds it to `module` as `attribute` (not at all when null); false with the
// exception set.
bool AddType(PyObject* module, const char* attribute, const TypeDefinition& definition,
             PyTypeObject*& type);

// For METH_FASTCALL functions of a fixed number of positional arguments:
// false with TypeError when `nargs` is not `expected`.
inline bool CheckArgCount(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_METHODS_H_
