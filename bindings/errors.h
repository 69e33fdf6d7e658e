// Raising Python exceptions without the Python headers.  Each sets the
// pending exception of the calling thread, which must hold the interpreter
// lock; the method wrapper sees it after the flat function returns.
#ifndef ALPHABET_BINDINGS_ERRORS_H_
#define ALPHABET_BINDINGS_ERRORS_H_

#include <new>
#include <string>
#include <type_traits>

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

// Runs `body` and returns its result; an allocation failure inside it
// becomes MemoryError and the neutral (value-initialised) result, so that no
// C++ exception crosses into the interpreter.
template <class Body>
auto CatchNoMemory(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    RaiseMemoryError();
    if constexpr (!std::is_void_v<decltype(body())>) return {};
  }
}

}  // namespace bindings

#endif  // ALPHABET_BINDINGS_ERRORS_H_
