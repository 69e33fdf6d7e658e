#include "native/common/flat_api.h"

#include <Python.h>
#include <dlfcn.h>

namespace native {
namespace {

FlatApi api;

// The path of the shared object that Python loaded _alphabet from.
PyObject* AlphabetModulePath() {
  PyObject* module = PyImport_ImportModule("_alphabet");
  if (module == nullptr) return nullptr;
  PyObject* path = PyObject_GetAttrString(module, "__file__");
  Py_DECREF(module);
  return path;
}

template <class Pointer>
bool Resolve(void* library, const char* name, Pointer& out) {
  out = reinterpret_cast<Pointer>(dlsym(library, name));
  if (out != nullptr) return true;
  PyErr_Format(PyExc_ImportError, "alphabet._native: _alphabet exports no %s", name);
  return false;
}

}  // namespace

bool LoadFlatApi() {
  PyObject* path = AlphabetModulePath();
  if (path == nullptr) return false;
  const char* text = PyUnicode_AsUTF8(path);
  if (text == nullptr) {
    Py_DECREF(path);
    return false;
  }
  // RTLD_NOLOAD: only the copy Python already loaded will do; a second copy
  // would bring a second registry.  The reference this takes is never given
  // back, which keeps the functions valid for the life of the process, as
  // the interpreter keeps the module's own.
  void* library = dlopen(text, RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) {
    PyErr_Format(PyExc_ImportError, "alphabet._native: _alphabet is not loaded from %s: %s", text,
                 dlerror());
    Py_DECREF(path);
    return false;
  }
  Py_DECREF(path);
  FlatApi resolved;
  bool ok = true;
#define ALPHABET_RESOLVE(name) ok = ok && Resolve(library, #name, resolved.name);
  ALPHABET_REGISTRY_FUNCTIONS(ALPHABET_RESOLVE)
  ALPHABET_ALPHABET_FUNCTIONS(ALPHABET_RESOLVE)
#define KIND(kind, storage) ALPHABET_SEQUENCE_FUNCTIONS(ALPHABET_RESOLVE, kind)
#include "sequences/kinds.def"
#undef KIND
  ALPHABET_BYTE_CONVERSIONS(ALPHABET_RESOLVE)
#undef ALPHABET_RESOLVE
  if (ok) api = resolved;
  return ok;
}

const FlatApi& Flat() { return api; }

}  // namespace native
