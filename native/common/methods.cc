#include "native/common/methods.h"

namespace native {

bool AddType(PyObject* module, const char* attribute, const TypeDefinition& definition,
             PyTypeObject*& type) {
  if (type == nullptr) {
    PyType_Spec made = {
        .name = definition.name,
        .basicsize = static_cast<int>(definition.basicsize),
        .itemsize = 0,
        .flags = definition.flags,
        .slots = definition.slots,
    };
    type = reinterpret_cast<PyTypeObject*>(
        PyType_FromSpecWithBases(&made, reinterpret_cast<PyObject*>(definition.base)));
    if (type == nullptr) return false;
  }
  return attribute == nullptr ||
         PyModule_AddObjectRef(module, attribute, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace native
