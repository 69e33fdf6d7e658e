// Translation of nucleotides by a genetic code: the codon table of a code
// (its 64 codons, and every codon with ambiguity codes resolved), and the
// translation of one frame or of all six, natively and with the
// interpreter lock released for long sequences.
#ifndef ALPHABET_NATIVE_CODEC_TRANSLATE_H_
#define ALPHABET_NATIVE_CODEC_TRANSLATE_H_

#include <Python.h>

namespace native {

bool AddTranslateFunctions(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_TRANSLATE_H_
