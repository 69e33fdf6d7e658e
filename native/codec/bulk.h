// The module's bulk functions over codes that need no alphabet:
// reverse_translate (e.g. the reverse complement of a sequence of codes),
// format_codes, and the choice among the kernels' paths (kernel_paths,
// use_kernel_path) for tests and benchmarks.  The k-mer calls are in
// kmers.h.
#ifndef ALPHABET_NATIVE_CODEC_BULK_H_
#define ALPHABET_NATIVE_CODEC_BULK_H_

#include <Python.h>

namespace native {

bool AddBulkFunctions(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_BULK_H_
