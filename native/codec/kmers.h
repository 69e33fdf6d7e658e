// The k-mer calls over codes: rolling k-mer indices in any base (canonical,
// or leaving out the windows that hold ambiguity codes, for bases of
// nucleotides), the windows' starts, and minimizers.  The rolling itself is
// the kernels' (kernels/kmers.h).
#ifndef ALPHABET_NATIVE_CODEC_KMERS_H_
#define ALPHABET_NATIVE_CODEC_KMERS_H_

#include <Python.h>

namespace native {

bool AddKmerFunctions(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_KMERS_H_
