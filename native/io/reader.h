// alphabet._native.Reader: the iterator that feeds the FASTA and FASTQ
// parser (formats/fastx_parser.h) from a file descriptor or a binary file
// object and makes the records (record.h).
//
// Reader(source, /, *, fd=-1, head=b"", closer=None, codec=None,
//        chunk_size=1 MiB)
//   With fd >= 0 the input is read with read(2) from fd, in chunks, with the
//   interpreter lock released around each read and each parse step; source
//   is then only kept alive (it owns fd).  Otherwise the input comes from
//   source.readinto(buffer), or source.read(size) when it has no readinto.
//   `head` is input already taken from the source, parsed first.  `closer`
//   is called once when the input ends, fails, or the reader is closed or
//   collected.  Without `codec`, a record's sequence is a str; with it (the
//   Codec of an alphabet of one-character symbols), the sequence is its
//   codes, exactly as the codec's encode gives them for the text, made
//   natively: an ASCII sequence straight from the parser's bytes, any other
//   through its str.  An AlphabetError from encoding comes out naming the
//   record and its line; iteration may go on with the next record.  A
//   malformed input raises the package's FormatError (alphabet._reader)
//   after every record before the fault has been yielded, and ends the
//   iteration.
//
// A reader belongs to one thread at a time: a second thread (or the source's
// own Python code) calling into a reader that is busy gets ValueError.
#ifndef ALPHABET_NATIVE_IO_READER_H_
#define ALPHABET_NATIVE_IO_READER_H_

#include <Python.h>

namespace native {

// Adds Reader to the module.
bool AddReader(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_READER_H_
