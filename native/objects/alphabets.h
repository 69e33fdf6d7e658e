// Alphabets made and read in native loops: the symbols of a Python iterable
// go into a string sequence one flat append each, with no Python call per
// symbol, and the new alphabet is adopted by its Python object in the same
// step (see held.h).
#ifndef ALPHABET_NATIVE_OBJECTS_ALPHABETS_H_
#define ALPHABET_NATIVE_OBJECTS_ALPHABETS_H_

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

// Adds the alphabets' factories (new_alphabet, extend_alphabet,
// alphabet_symbols, standard_alphabet) to the module.
bool AddAlphabets(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_OBJECTS_ALPHABETS_H_
