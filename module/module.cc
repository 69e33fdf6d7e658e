// The extension module _alphabet: its method table, generated from
// module/methods.def, and its initialisation entry.
#include <Python.h>

#include "bindings/alphabet_functions.h"
#include "bindings/export.h"
#include "bindings/registry_functions.h"
#include "module/wrap.h"
#include "bindings/sequence_functions.h"

namespace module {
namespace {

#define ARG(keyword, codec) Param<#keyword, codec##Arg>
#define ROW(name, result, ...) \
  Method<#name, &::name, result##Result __VA_OPT__(, ) __VA_ARGS__>::Def(),
#define SEQUENCE_ROWS(kind, codec, element)                                       \
  ROW(Slice_##kind##_CTor, Int)                                                   \
  ROW(Slice_##kind##_len, Int, ARG(handle, Int64))                                \
  ROW(Slice_##kind##_elem, element, ARG(handle, Int64), ARG(idx, Index))          \
  ROW(Slice_##kind##_subslice, Int, ARG(handle, Int64), ARG(st, Index),           \
      ARG(ed, Index))                                                             \
  ROW(Slice_##kind##_set, None, ARG(handle, Int64), ARG(idx, Index),              \
      ARG(value, codec))                                                          \
  ROW(Slice_##kind##_append, None, ARG(handle, Int64), ARG(value, codec))

PyMethodDef _alphabet_functions[] = {
#include "module/methods.def"
    {nullptr, nullptr, 0, nullptr},
};

#undef SEQUENCE_ROWS
#undef ROW
#undef ARG

PyModuleDef _alphabet_moduledef = {
    PyModuleDef_HEAD_INIT,
    "_alphabet",
    nullptr,  // no module docstring
    -1,       // no per-module state
    _alphabet_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace module

ALPHABET_EXPORT PyObject* PyInit__alphabet() {
  return PyModule_Create2(&module::_alphabet_moduledef, PYTHON_API_VERSION);
}
