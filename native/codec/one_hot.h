// One-hot rows: each code of a sequence (or of a padded batch) as its row of
// a table of rows, in an Array of one more dimension.  The package builds the
// tables (one 1 per row, spread rows for ambiguity codes, a row of zeros
// for padding); the rows are written with the interpreter lock released.
#ifndef ALPHABET_NATIVE_CODEC_ONE_HOT_H_
#define ALPHABET_NATIVE_CODEC_ONE_HOT_H_

#include <Python.h>

namespace native {

bool AddOneHotFunctions(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_ONE_HOT_H_
