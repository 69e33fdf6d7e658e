#include "sequences/flat_functions.h"

#include "bindings/startup.h"
#include "sequences/operations.h"

using bindings::EnsureStarted;
using sequences::Operations;

#define KIND(name, storage)                                                             \
  int64_t Slice_##name##_CTor() {                                                       \
    EnsureStarted();                                                                    \
    return Operations<sequences::storage>::CTor("[]" #name);                            \
  }                                                                                     \
  int64_t Slice_##name##_len(int64_t handle) {                                          \
    EnsureStarted();                                                                    \
    return Operations<sequences::storage>::Len(handle, "[]" #name);                     \
  }                                                                                     \
  sequences::storage::FlatOut Slice_##name##_elem(int64_t handle, int64_t idx) {        \
    EnsureStarted();                                                                    \
    return Operations<sequences::storage>::Elem(handle, idx, "[]" #name);               \
  }                                                                                     \
  int64_t Slice_##name##_subslice(int64_t handle, int64_t st, int64_t ed) {             \
    EnsureStarted();                                                                    \
    return Operations<sequences::storage>::SubSlice(handle, st, ed, "[]" #name);        \
  }                                                                                     \
  void Slice_##name##_set(int64_t handle, int64_t idx, sequences::storage::FlatIn value) { \
    EnsureStarted();                                                                    \
    Operations<sequences::storage>::Set(handle, idx, value, "[]" #name);                \
  }                                                                                     \
  void Slice_##name##_append(int64_t handle, sequences::storage::FlatIn value) {        \
    EnsureStarted();                                                                    \
    Operations<sequences::storage>::Append(handle, value, "[]" #name);                  \
  }
#include "sequences/kinds.def"
#undef KIND
