// The extension module _alphabet: its method table, generated from
// module/methods.def, and its initialisation entry.
#include <Python.h>

#include "bindings/alphabet_functions.h"
#include "bindings/export.h"
#include "bindings/registry_functions.h"
#include "bindings/sequence_functions.h"
#include "module/kind_codecs.h"
#include "module/wrap.h"

namespace module {
namespace {

#define ARG(keyword, codec) Param<#keyword, codec##Arg>
#define ROW(name, result, ...) ROW_WITH(name, result##Result __VA_OPT__(, ) __VA_ARGS__)
#define ROW_WITH(name, result_codec, ...) \
  Method<#name, &::name, result_codec __VA_OPT__(, ) __VA_ARGS__>::Def(),
#define SEQUENCE_ROWS(kind, storage)                                                               \
  ROW(Slice_##kind##_CTor, Int)                                                                    \
  ROW(Slice_##kind##_len, Int, ARG(handle, Int64))                                                 \
  ROW_WITH(Slice_##kind##_elem, KindCodecs<sequences::storage>::ElementResult, ARG(handle, Int64), \
           ARG(idx, Index))                                                                        \
  ROW(Slice_##kind##_subslice, Int, ARG(handle, Int64), ARG(st, Index), ARG(ed, Index))            \
  ROW(Slice_##kind##_set, None, ARG(handle, Int64), ARG(idx, Index),                               \
      Param<"value", KindCodecs<sequences::storage>::ValueArg>)                                    \
  ROW(Slice_##kind##_append, None, ARG(handle, Int64),                                             \
      Param<"value", KindCodecs<sequences::storage>::ValueArg>)                                    \
  ROWS_AFTER(kind)

// What follows a kind's six rows: BYTE_CONVERSION_ROWS() after byte's,
// nothing after the others'.  The preprocessor cannot compare names, so
// byte is told apart by the one probe macro named after it: its expansion
// shifts the second argument of ROWS_AFTER_SECOND to the byte rows.
#define ROWS_AFTER(kind) ROWS_AFTER_SECOND(ROWS_AFTER_PROBE_##kind, NO_ROWS, ~)()
#define ROWS_AFTER_PROBE_byte ~, BYTE_CONVERSION_ROWS
#define ROWS_AFTER_SECOND(...) ROWS_AFTER_SECOND_(__VA_ARGS__)
#define ROWS_AFTER_SECOND_(first, second, ...) second
#define NO_ROWS()

PyMethodDef alphabet_methods[] = {
#include "module/methods.def"
    {nullptr, nullptr, 0, nullptr},
};

#undef NO_ROWS
#undef ROWS_AFTER_SECOND_
#undef ROWS_AFTER_SECOND
#undef ROWS_AFTER_PROBE_byte
#undef ROWS_AFTER
#undef SEQUENCE_ROWS
#undef ROW_WITH
#undef ROW
#undef ARG

PyModuleDef alphabet_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_alphabet",
    .m_doc = nullptr,  // no module docstring
    .m_size = -1,      // no per-module state
    .m_methods = alphabet_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace module

ALPHABET_EXPORT PyObject* PyInit__alphabet() {
  return PyModule_Create2(&module::alphabet_module, PYTHON_API_VERSION);
}
