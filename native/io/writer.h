// alphabet._native.Writer: formats records as FASTA or FASTQ into large
// chunks and hands each chunk on, to a file descriptor or to a callable.
//
// Writer(sink, /, *, fd=-1, format=None, line_width=60, codec=None,
//        chunk_size=1 MiB)
//   With fd >= 0 every chunk is written to fd with write(2), with the
//   interpreter lock released; sink is then only kept alive (it owns fd).
//   Otherwise sink(chunk) is called with each chunk, a bytes object that the
//   writer no longer touches.  `format` is "fasta", "fastq" or None: told
//   from the first record then (a quality means FASTQ).  FASTA sequences
//   are cut into lines of `line_width` characters (0: one line each); FASTQ
//   is written one line per sequence and quality.  With `codec` (the Codec
//   of an alphabet of one-character symbols) a sequence that is not a str is
//   taken as codes and written as the text they spell, exactly as
//   codec.decode_str gives it.
//
// A record is a Record, an (id, sequence) or (id, sequence, quality) tuple,
// or any object with `id` and `sequence` attributes (and optionally
// `description` and `quality`).  Every record is checked before any of it is
// written: one that the format cannot hold so that a reader gets it back (a
// line break in a field, a FASTQ quality of another length than its
// sequence or none at all, a sequence that would read as a header or as
// nothing) raises ValueError (TypeError for a field of the wrong type)
// naming the record, and nothing of it is written; the writer goes on.  A
// FASTA sequence that lines of line_width would turn into something else (a
// line starting with '>' or holding only blanks) is written on one line.
//
// A failure of the sink or of write(2) closes the writer: what the chunk
// held is lost with the output it was going to.  A writer belongs to one
// thread at a time: a call into a writer that is busy (from another thread,
// or from the sink's own Python code) gets ValueError.
#ifndef ALPHABET_NATIVE_IO_WRITER_H_
#define ALPHABET_NATIVE_IO_WRITER_H_

#include <Python.h>

namespace native {

// Adds Writer to the module.
bool AddWriter(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_WRITER_H_
