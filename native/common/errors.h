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

// The same for a symbol of a record read from a file, also carrying the
// record's id (`record`, a str) and the line of the symbol.
void RaiseAlphabetErrorIn(PyObject* message, Py_ssize_t position, PyObject* record, long long line);

// The package's FormatError (a file that is not FASTA or FASTQ, or is cut
// short); valid once AddErrors has run.
PyObject* FormatError();

// The package's BrokenInput: what a source of the reader raises when its
// input is cut short or corrupt.
PyObject* BrokenInput();

// Sets FormatError(message, line); `message` is UTF-8 text (any invalid byte
// shows as a backslash escape).
void RaiseFormatError(std::string_view message, int64_t line);

// The decimal text of any int, however many digits it has (the
// interpreter's limit on int-to-str conversion does not apply): the
// package's own code_text.  Null with an exception set only when memory
// runs out.
PyObject* CodeText(PyObject* integer);

// A short repr of `value` for a message: an int in decimal whatever its
// size, anything longer than 60 characters cut.  Null with the exception set
// when its __repr__ raises.
PyObject* ReprForMessage(PyObject* value);

// Imports the package's errors (alphabet._errors); false with an exception
// set on failure.
bool AddErrors();

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_ERRORS_H_
