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
#ifndef ALPHABET_NATIVE_INTERPRETER_H_
#define ALPHABET_NATIVE_INTERPRETER_H_

#include <Python.h>

namespace native {

inline bool HoldsInterpreter() { return PyThreadState_GetUnchecked() != nullptr; }

}  // namespace native

#endif  // ALPHABET_NATIVE_INTERPRETER_H_
