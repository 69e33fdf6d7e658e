// alphabet._native.Codec: the encoding and decoding tables of one alphabet,
// built once from its symbols and options and then only read, so that one
// codec serves any number of threads at once.  Bulk calls over large inputs
// run their kernels with the interpreter lock released once the input is
// pinned (a held buffer, or an immutable str).
#ifndef ALPHABET_NATIVE_CODEC_H_
#define ALPHABET_NATIVE_CODEC_H_

#include <Python.h>

namespace native {

// Adds Codec and the bulk functions over codes (bulk.h).
bool AddCodec(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_H_
