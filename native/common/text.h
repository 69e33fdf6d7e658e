// Texts the library can hold.  Texts cross to the library as NUL-terminated
// UTF-8, so a NUL character would cut one short, and a lone surrogate has no
// UTF-8 form at all: neither can be held.
#ifndef ALPHABET_NATIVE_COMMON_TEXT_H_
#define ALPHABET_NATIVE_COMMON_TEXT_H_

#include <Python.h>

namespace native {

inline bool Holdable(Py_UCS4 c) { return c != 0 && !(c >= 0xD800 && c <= 0xDFFF); }

// The UTF-8 form of the str `text` (cached in it) and its size, when the
// library can hold it.  Null when it cannot: with no exception set for a
// NUL character or a lone surrogate, with the exception set for any other
// failure (no memory).
const char* HoldableUtf8(PyObject* text, Py_ssize_t& size);

// The position of the first character of `text` that cannot be held, or -1.
Py_ssize_t FirstUnholdable(PyObject* text);

// Writes the UTF-8 form of `c` (a holdable character), NUL-terminated, to
// `out`; returns its length in bytes.
int EncodeUtf8(Py_UCS4 c, char out[5]);

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_TEXT_H_
