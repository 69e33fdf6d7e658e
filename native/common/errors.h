// The package's exceptions and the wording of its messages, as the native
// module raises them.
#ifndef ALPHABET_NATIVE_COMMON_ERRORS_H_
#define ALPHABET_NATIVE_COMMON_ERRORS_H_

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace native {

// The package's AlphabetError; valid once AddErrors has run.
PyObject* AlphabetError();

// Sets AlphabetError(message, position); position < 0 passes None.
void RaiseAlphabetError(PyObject* message, Py_ssize_t position);

// The decimal text of any int, however many digits it has (the
// interpreter's limit on int-to-str conversion does not apply): the
// package's own code_text.  Null with an exception set only when memory
// runs out.
PyObject* CodeText(PyObject* integer);

// A short repr of `value` for a message: an int in decimal whatever its
// size, anything longer than 60 characters cut.  Null with the exception set
// when its __repr__ raises.
PyObject* ReprForMessage(PyObject* value);

// Sets the package's FormatError(message, line) (alphabet._reader's, found
// when first raised: that module imports this one).  `message` is UTF-8;
// bytes that are not are shown as backslash escapes.
void RaiseFormatError(std::string_view message, int64_t line);

// Imports the package's errors (alphabet._errors); false with an exception
// set on failure.
bool AddErrors();

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_ERRORS_H_
