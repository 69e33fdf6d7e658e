// Raising Python exceptions without the Python headers.  Each sets the
// pending exception of the calling thread, which must hold the interpreter
// lock; the method wrapper sees it after the flat function returns.
#ifndef ALPHABET_BINDINGS_ERRORS_H_
#define ALPHABET_BINDINGS_ERRORS_H_

#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "sequences/status.h"

namespace bindings {

void RaiseIndexError(const std::string& message);
void RaiseTypeError(const std::string& message);
void RaiseValueError(const std::string& message);
void RaiseRuntimeError(const std::string& message);
void RaiseMemoryError();

// The exception for a sequence operation's fault, with the status's message:
// TypeError for a wrong kind, IndexError for an index or sub-range out of
// bounds, ValueError for an append through nothing, MemoryError.  Requires
// !status.ok().
void RaiseFault(const sequences::Status& status);

// Runs `body` and returns its result; when memory runs out inside it (the
// standard library throws bad_alloc, or length_error for a size no
// container can hold), returns `on_no_memory()` instead, so that no C++
// exception crosses into the interpreter.  Header-only and free of the
// interpreter: the package's native module guards its calls with it too.
template <class Body, class OnNoMemory>
auto CatchNoMemory(Body&& body, OnNoMemory&& on_no_memory) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return on_no_memory();
}

// The same, raising MemoryError and returning the neutral (value-initialised)
// result.
template <class Body>
auto CatchNoMemory(Body&& body) -> decltype(body()) {
  using Result = decltype(body());
  return CatchNoMemory(std::forward<Body>(body), []() -> Result {
    RaiseMemoryError();
    if constexpr (!std::is_void_v<Result>) return {};
  });
}

}  // namespace bindings

#endif  // ALPHABET_BINDINGS_ERRORS_H_
