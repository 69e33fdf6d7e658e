// alphabet.Record: one FASTA or FASTQ record, as alphabet.read yields it.
// Immutable; records are equal when their four fields are, and pickle as
// Record(id, description, sequence, quality).
#ifndef ALPHABET_NATIVE_IO_RECORD_H_
#define ALPHABET_NATIVE_IO_RECORD_H_

#include <Python.h>

namespace native {

// A record of four new references, which it takes over (all let go of when
// it cannot be made).
PyObject* NewRecord(PyObject* id, PyObject* description, PyObject* sequence, PyObject* quality);

// Adds Record to the module.
bool AddRecords(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_RECORD_H_
