// The exported flat functions of the typed sequences: six per kind, named
// Slice_<kind>_<operation>, plus the two byte conversions.  All run with the
// interpreter lock held and never release it.
#ifndef ALPHABET_SEQUENCES_FLAT_FUNCTIONS_H_
#define ALPHABET_SEQUENCES_FLAT_FUNCTIONS_H_

#include <cstdint>

#include "bindings/export.h"
#include "sequences/storage.h"

struct _object;  // PyObject

#define KIND(name, storage)                                                           \
  ALPHABET_EXPORT int64_t Slice_##name##_CTor();                                      \
  ALPHABET_EXPORT int64_t Slice_##name##_len(int64_t handle);                         \
  ALPHABET_EXPORT sequences::storage::FlatOut Slice_##name##_elem(int64_t handle,     \
                                                                  int64_t idx);       \
  ALPHABET_EXPORT int64_t Slice_##name##_subslice(int64_t handle, int64_t st,         \
                                                  int64_t ed);                        \
  ALPHABET_EXPORT void Slice_##name##_set(int64_t handle, int64_t idx,                \
                                          sequences::storage::FlatIn value);          \
  ALPHABET_EXPORT void Slice_##name##_append(int64_t handle,                          \
                                             sequences::storage::FlatIn value);
#include "sequences/kinds.def"
#undef KIND

// A new byte sequence holding a copy of any contiguous byte buffer (bytes,
// bytearray, memoryview, array); TypeError for other objects.
ALPHABET_EXPORT int64_t Slice_byte_from_bytes(_object* o);
// A new bytes object holding a copy of the sequence's elements.
ALPHABET_EXPORT _object* Slice_byte_to_bytes(int64_t handle);

#endif  // ALPHABET_SEQUENCES_FLAT_FUNCTIONS_H_
