// No C++ exception may unwind into the interpreter.  The library reports
// failure as values; what can throw here is the standard library running
// out of memory, which every native call turns into MemoryError through
// the one guard below (bindings::CatchNoMemory, shared with _alphabet).
#ifndef ALPHABET_NATIVE_COMMON_GUARD_H_
#define ALPHABET_NATIVE_COMMON_GUARD_H_

#include <Python.h>

#include <type_traits>
#include <utility>

#include "bindings/errors.h"

namespace native {

// What a native function returns to say "failed, the exception is set":
// null, false, or -1 (slots that return int, sizes, handles).
template <class Result>
Result Failure() {
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else if constexpr (std::is_same_v<Result, bool>) {
    return false;
  } else {
    return Result(-1);
  }
}

// Runs `work` with the interpreter lock held; when memory runs out in C++,
// raises MemoryError and returns Failure().
template <class Work>
auto Guarded(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  return bindings::CatchNoMemory(std::forward<Work>(work), [] {
    PyErr_NoMemory();
    return Failure<Result>();
  });
}

// Runs `work`, which may run with the interpreter lock released; false when
// memory ran out, with no exception set yet (that needs the lock).
template <class Work>
bool RanOutOfMemory(Work&& work) {
  return bindings::CatchNoMemory(
      [&] {
        work();
        return false;
      },
      [] { return true; });
}

// container.push_back(value), or false with MemoryError set: for loops that
// hold Python references, which an exception unwinding through them would
// leak.
template <class Container, class Value>
bool PushBack(Container& container, Value&& value) {
  return Guarded([&] {
    container.push_back(std::forward<Value>(value));
    return true;
  });
}

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_GUARD_H_
