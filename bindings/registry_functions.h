// The registry's flat functions.  None of them releases the interpreter lock
// or raises; a handle that names nothing is silently ignored.
#ifndef ALPHABET_BINDINGS_REGISTRY_FUNCTIONS_H_
#define ALPHABET_BINDINGS_REGISTRY_FUNCTIONS_H_

#include <cstdint>

#include "bindings/export.h"

// Waits for start-up; does nothing else.
ALPHABET_EXPORT void TovaInit();
// Takes the handle up: one more holder.
ALPHABET_EXPORT void IncRef(int64_t handle);
// Lets the handle go; the last let-go removes the entry.
ALPHABET_EXPORT void DecRef(int64_t handle);
// Number of live handles, those never taken up included.
ALPHABET_EXPORT int64_t NumHandles();

#endif  // ALPHABET_BINDINGS_REGISTRY_FUNCTIONS_H_
