// alphabet._native: the package's native module.  It reaches library objects
// only through _alphabet's exported flat functions (flat_api.h) and keeps no
// state of its own beyond what it derives from them.
#include <Python.h>

#include "native/alphabets.h"
#include "native/codec.h"
#include "native/flat_api.h"
#include "native/held.h"
#include "native/reader.h"
#include "native/sequences.h"

namespace {

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "alphabet._native",
    "Native loops and kernels of the alphabet package.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  if (!native::LoadFlatApi()) return nullptr;
  PyObject* module = PyModule_Create(&native_module);
  if (module == nullptr) return nullptr;
  if (!native::AddHeld(module) || !native::AddAlphabets(module) || !native::AddSequences(module) ||
      !native::AddReader(module) || !native::AddCodec(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
