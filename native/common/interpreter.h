// The interpreter lock: whether this thread holds the interpreter, and
// native work that lets go of the lock while it runs.
#ifndef ALPHABET_NATIVE_COMMON_INTERPRETER_H_
#define ALPHABET_NATIVE_COMMON_INTERPRETER_H_

#include <Python.h>

#include <cstddef>

#include "bindings/gil.h"

namespace native {

// Whether this thread may use the interpreter, for destructors that let go
// of Python objects.
//
// A daemon thread that takes the interpreter lock back (at the end of a
// scope that released it) while the interpreter finalizes is ended there by
// the interpreter, which unwinds its stack.  The destructors of the native
// call it was in then run with no thread state and without the lock; a
// Python object freed then would reach an allocator that is being torn down
// (a crash at exit).  They leave Python objects alone instead, to the
// process that is exiting.  Every other time a destructor runs, the lock is
// held.
inline bool HoldsInterpreter() { return PyThreadState_GetUnchecked() != nullptr; }

// Inputs shorter than this are worked on with the interpreter lock held:
// releasing and taking it back would cost more than it frees.
inline constexpr size_t kUnlockedFrom = size_t{1} << 16;

// Runs `work` (which must not touch a Python object) for an input of
// `items` elements, with the interpreter lock released when it is large.
template <class Work>
auto Unlocked(size_t items, Work&& work) {
  if (items < kUnlockedFrom) return work();
  bindings::GilRelease unlocked;
  return work();
}

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_INTERPRETER_H_
