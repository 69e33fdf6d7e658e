// Alphabets made and read in native loops: the symbols of a Python iterable
// go into a string sequence one flat append each, with no Python call per
// symbol, and the new alphabet is adopted by its Python object in the same
// step (see held.h).
#ifndef ALPHABET_NATIVE_ALPHABETS_H_
#define ALPHABET_NATIVE_ALPHABETS_H_

#include <Python.h>

#include <cstdint>

namespace native {

// A new string sequence (a fresh handle, count 0) holding the symbols of
// `symbols`: a str (one symbol per character) or any iterable of str.  -1
// with TypeError for an item that is not a str, or AlphabetError (with the
// position) for one the library cannot hold (a NUL character or a lone
// surrogate); nothing stays registered then.  `count` receives the number of
// symbols.
int64_t NewSymbolSequence(PyObject* symbols, int64_t& count);

// The package's AlphabetError, imported when the module is.
PyObject* AlphabetError();

// Sets AlphabetError(message, position); position < 0 passes None.
void RaiseAlphabetError(PyObject* message, Py_ssize_t position);

bool AddAlphabets(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_ALPHABETS_H_
