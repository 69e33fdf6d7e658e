// The Python face of the FASTA and FASTQ parser (formats/fastx_parser.h):
// Record, one parsed record, and Reader, the iterator that feeds the parser
// from a file descriptor or a binary file object and makes the records.
//
// Reader(source, /, *, fd=-1, head=b"", closer=None, table=None, encode=None,
//        chunk_size=1 MiB)
//   With fd >= 0 the input is read with read(2) from fd, in chunks, with the
//   interpreter lock released around each read and each parse step; source
//   is then only kept alive (it owns fd).  Otherwise the input comes from
//   source.readinto(buffer), or source.read(size) when it has no readinto.
//   `head` is input already taken from the source, parsed first.  `closer`
//   is called once when the input ends, fails, or the reader is closed or
//   collected.  Without `encode`, a record's sequence is a str; with it, the
//   sequence is encode(text), except that with `table` (256 codes, -1 for a
//   byte that is not a symbol) an ASCII sequence is translated in C without
//   making the text, and encode only runs to report a byte the table
//   refuses (or for a sequence that is not ASCII).  An AlphabetError from
//   encode comes out naming the record and its line; iteration may go on
//   with the next record.  A malformed input raises the package's
//   FormatError (alphabet._reader) after every record before the fault has
//   been yielded, and ends the iteration.
//
// A reader belongs to one thread at a time: a second thread (or the source's
// own Python code) calling into a reader that is busy gets ValueError.
#ifndef ALPHABET_NATIVE_READER_H_
#define ALPHABET_NATIVE_READER_H_

#include <Python.h>

namespace native {

// Adds Record and Reader to the module.
bool AddReader(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_READER_H_
