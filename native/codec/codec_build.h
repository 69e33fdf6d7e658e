// Building a codec's tables (codec_tables.h) from the Python objects given
// to Codec(): the symbols, the spellings mapping, the unknown code and
// ignore_case.  Runs with the interpreter lock held (str.lower and the case
// forms of symbols beyond ASCII are the interpreter's).
#ifndef ALPHABET_NATIVE_CODEC_CODEC_BUILD_H_
#define ALPHABET_NATIVE_CODEC_CODEC_BUILD_H_

#include <Python.h>

#include "native/codec/codec_tables.h"

namespace native {

// Fills `tables` and returns the symbols as a new tuple of exact strs, in
// code order; null with the exception set for symbols that are not strs,
// spellings that are not a mapping of str to codes, or an unknown code out
// of range.  `spellings` and `unknown` may be None.
PyObject* BuildCodecTables(PyObject* symbols, PyObject* spellings, PyObject* unknown,
                           bool ignore_case, CodecTables& tables);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_CODEC_BUILD_H_
