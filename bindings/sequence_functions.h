// The exported flat functions of the typed sequences: six per kind of
// sequences/kinds.def, named Slice_<kind>_<operation>, plus the two byte
// conversions.  All run with the interpreter lock held and never release it.
// A fault leaves the call's neutral result and a Python exception set
// (bindings/errors.h); a text returned is a new malloc'd copy that the
// caller frees, null with MemoryError raised when memory for it runs out.
#ifndef ALPHABET_BINDINGS_SEQUENCE_FUNCTIONS_H_
#define ALPHABET_BINDINGS_SEQUENCE_FUNCTIONS_H_

#include <cstdint>

#include "bindings/export.h"
#include "bindings/flat_forms.h"

struct _object;  // PyObject

#define KIND(name, storage)                                                                       \
  ALPHABET_EXPORT int64_t Slice_##name##_CTor();                                                  \
  ALPHABET_EXPORT int64_t Slice_##name##_len(int64_t handle);                                     \
  ALPHABET_EXPORT bindings::FlatForm<sequences::storage>::Out Slice_##name##_elem(int64_t handle, \
                                                                                  int64_t idx);   \
  ALPHABET_EXPORT int64_t Slice_##name##_subslice(int64_t handle, int64_t st, int64_t ed);        \
  ALPHABET_EXPORT void Slice_##name##_set(int64_t handle, int64_t idx,                            \
                                          bindings::FlatForm<sequences::storage>::In value);      \
  ALPHABET_EXPORT void Slice_##name##_append(int64_t handle,                                      \
                                             bindings::FlatForm<sequences::storage>::In value);
#include "sequences/kinds.def"
#undef KIND

// A new byte sequence holding a copy of any contiguous byte buffer (bytes,
// bytearray, memoryview, array); TypeError for an object without the buffer
// protocol, and the exporter's own exception when it refuses or fails
// (BufferError for a buffer that is not contiguous).
ALPHABET_EXPORT int64_t Slice_byte_from_bytes(_object* o);
// A new bytes object holding a copy of the sequence's elements.
ALPHABET_EXPORT _object* Slice_byte_to_bytes(int64_t handle);

#endif  // ALPHABET_BINDINGS_SEQUENCE_FUNCTIONS_H_
