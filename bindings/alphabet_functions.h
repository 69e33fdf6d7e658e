// The alphabet library's flat functions.
//
// Six are bound calls that do library work with the interpreter lock
// released (NewAlphabet, Encode, Decode, Extend, Symbols and the error's
// message) and take it back on every way out; the constructors, getters and
// setters keep it throughout.  Encode and Decode report a library error as
// RuntimeError with the library's message.  A handle that names nothing
// gives the call's neutral result (0, an empty text, -1) without exception; a
// handle that names an object of another kind raises TypeError.  Texts
// returned are new malloc'd copies that the caller frees; when memory for
// one runs out, the call returns null with MemoryError raised.
#ifndef ALPHABET_BINDINGS_ALPHABET_FUNCTIONS_H_
#define ALPHABET_BINDINGS_ALPHABET_FUNCTIONS_H_

#include <cstdint>

#include "bindings/export.h"

// A new handle of the alphabet the reference names now; -1 when cleared.
ALPHABET_EXPORT int64_t alphabet_DNA();
ALPHABET_EXPORT int64_t alphabet_RNA();
ALPHABET_EXPORT int64_t alphabet_Protein();
// Points the reference at the alphabet `val` names; clears it when `val`
// names nothing.
ALPHABET_EXPORT void alphabet_Set_DNA(int64_t val);
ALPHABET_EXPORT void alphabet_Set_RNA(int64_t val);
ALPHABET_EXPORT void alphabet_Set_Protein(int64_t val);

// A new alphabet without symbols.
ALPHABET_EXPORT int64_t alphabet_Alphabet_CTor();
// The code of the text `symbol`.
ALPHABET_EXPORT int64_t alphabet_Alphabet_Encode(int64_t _handle, const char* symbol);
// The symbol of `code`: a decimal integer text is that integer code; any
// other text is a text value, which is never a code.
ALPHABET_EXPORT char* alphabet_Alphabet_Decode(int64_t _handle, const char* code);
// A new alphabet of the receiver's symbols followed by those of the string
// sequence `symbols`.
ALPHABET_EXPORT int64_t alphabet_Alphabet_Extend(int64_t _handle, int64_t symbols);
// A new string sequence holding copies of the symbols in code order.
ALPHABET_EXPORT int64_t alphabet_Alphabet_Symbols(int64_t _handle);

// A new error with an empty message.
ALPHABET_EXPORT int64_t alphabet_Error_CTor();
// The error's message.
ALPHABET_EXPORT char* alphabet_Error_Error(int64_t _handle);

// A new alphabet whose code i is element i of the string sequence `symbols`.
ALPHABET_EXPORT int64_t alphabet_NewAlphabet(int64_t symbols);

#endif  // ALPHABET_BINDINGS_ALPHABET_FUNCTIONS_H_
