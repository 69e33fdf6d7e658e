// Texts crossing the boundary.  A text leaves the library only as a
// NUL-terminated copy from malloc, which the receiver releases with free; a
// text coming in is copied before the library uses it.
#ifndef ALPHABET_BINDINGS_TEXT_H_
#define ALPHABET_BINDINGS_TEXT_H_

#include <string>
#include <string_view>

#include "alphabet/error.h"

namespace bindings {

// A new NUL-terminated copy of every byte of `text`; null when memory runs
// out (an empty text is a copy too, so null never means "empty").  Callers
// turn null into MemoryError once they hold the interpreter lock.
char* CString(std::string_view text);

// The bytes of `text` up to its first NUL, borrowed; null gives the empty
// text.  For a caller whose argument outlives the use, as a method's
// argument tuple does for the call.
inline std::string_view TextView(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

// A copy of the bytes of `text` up to its first NUL; null gives the empty
// text.
inline std::string FromCString(const char* text) { return std::string(TextView(text)); }

// The message of `error` as a new NUL-terminated text, or null as CString;
// no error gives a new empty text.
char* ErrorToCString(const alphabet::Error* error);

}  // namespace bindings

#endif  // ALPHABET_BINDINGS_TEXT_H_
