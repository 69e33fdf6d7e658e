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

// A record whose id is characters [0, id_end) of `header` (a str) and whose
// description is characters [rest, end): both are made when first asked
// for.  Takes over the three references, as NewRecord.
PyObject* NewRecordOfHeader(PyObject* header, Py_ssize_t id_end, Py_ssize_t rest,
                            PyObject* sequence, PyObject* quality);

// Adds Record to the module.
bool AddRecords(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_RECORD_H_
