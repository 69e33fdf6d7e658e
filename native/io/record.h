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

// The fields of a Record, borrowed from it (quality is None for FASTA).
struct BorrowedFields {
  PyObject* id;
  PyObject* description;
  PyObject* sequence;
  PyObject* quality;
};

// Fills `fields` when `object` is a Record (or a subclass's instance);
// false, with no exception set, when it is not one.
bool FieldsOfRecord(PyObject* object, BorrowedFields& fields);

// Asks the processor for the fields of `object`, when it is a Record, ahead
// of their use: a loop over a list of records otherwise waits on memory for
// every str of every record.
void PrefetchRecordFields(PyObject* object);

// Adds Record to the module.
bool AddRecords(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_RECORD_H_
