// The flat functions of _alphabet, as the package's native module reaches
// them.
//
// The native module keeps no registry and no library state of its own: every
// object it makes or reads lives in _alphabet's one registry, reached through
// the functions that _alphabet exports.  They are resolved once, when the
// native module is imported, from the _alphabet shared object that Python
// has already loaded (dlopen with RTLD_NOLOAD, then dlsym), so both modules
// share one copy of everything.  The declarations come from the binding
// headers, so each pointer has exactly the exported function's type.
//
// The same rules hold as for the Python methods of _alphabet: every flat
// function is called with the interpreter lock held, and a call can leave a
// Python exception pending (sequence faults, library errors, MemoryError),
// which the caller must look for.
#ifndef ALPHABET_NATIVE_COMMON_FLAT_API_H_
#define ALPHABET_NATIVE_COMMON_FLAT_API_H_

#include "bindings/alphabet_functions.h"
#include "bindings/registry_functions.h"
#include "bindings/sequence_functions.h"

namespace native {

// X(name) for each of the 122 flat functions: the registry's, the
// alphabets', the six of each sequence kind (expanded over the kinds table)
// and the byte conversions.
// clang-format off
#define ALPHABET_REGISTRY_FUNCTIONS(X) X(TovaInit) X(DecRef) X(IncRef) X(NumHandles)
#define ALPHABET_ALPHABET_FUNCTIONS(X)                                \
  X(alphabet_DNA) X(alphabet_Set_DNA)                                 \
  X(alphabet_Protein) X(alphabet_Set_Protein)                         \
  X(alphabet_RNA) X(alphabet_Set_RNA)                                 \
  X(alphabet_Alphabet_CTor) X(alphabet_Alphabet_Encode)               \
  X(alphabet_Alphabet_Decode) X(alphabet_Alphabet_Extend)             \
  X(alphabet_Alphabet_Symbols) X(alphabet_Error_CTor)                 \
  X(alphabet_Error_Error) X(alphabet_NewAlphabet)
#define ALPHABET_SEQUENCE_FUNCTIONS(X, kind)                          \
  X(Slice_##kind##_CTor) X(Slice_##kind##_len) X(Slice_##kind##_elem) \
  X(Slice_##kind##_subslice) X(Slice_##kind##_set) X(Slice_##kind##_append)
// clang-format on
#define ALPHABET_BYTE_CONVERSIONS(X) X(Slice_byte_from_bytes) X(Slice_byte_to_bytes)

struct FlatApi {
#define ALPHABET_FLAT_POINTER(name) decltype(&::name) name = nullptr;
  ALPHABET_REGISTRY_FUNCTIONS(ALPHABET_FLAT_POINTER)
  ALPHABET_ALPHABET_FUNCTIONS(ALPHABET_FLAT_POINTER)
#define KIND(kind, storage) ALPHABET_SEQUENCE_FUNCTIONS(ALPHABET_FLAT_POINTER, kind)
#include "sequences/kinds.def"
#undef KIND
  ALPHABET_BYTE_CONVERSIONS(ALPHABET_FLAT_POINTER)
#undef ALPHABET_FLAT_POINTER
};

// Resolves every flat function from the loaded _alphabet module (importing
// it if needed).  False with ImportError set when one cannot be found.
// Called once, by the module's initialisation, with the interpreter lock.
bool LoadFlatApi();

// The resolved functions; valid once LoadFlatApi has succeeded, which the
// module's import guarantees before any of its functions can run.
const FlatApi& Flat();

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_FLAT_API_H_
