// alphabet._native.Genome: a FASTA or FASTQ file opened through its index
// for random access (formats/genome_file.h), the base of alphabet.Fasta and
// alphabet.Fastq; and the functions that build the indexes.
//
// Genome(path, fai, gzi=None)
//   `fai` is the text of the file's .fai, `gzi` the bytes of its .gzi for a
//   BGZF file.  A malformed index raises FormatError; a file that cannot be
//   opened OSError; a gzip file that is not BGZF ValueError.  The package
//   decides where the indexes come from (alphabet._genome).
//
// Names are the file's bytes read as UTF-8, with the bytes that are not
// UTF-8 kept as lone surrogates (surrogateescape), so every name survives
// a round trip to the file system's encoding.
//
// Fetches are positional reads of the file, safe from any number of
// threads at once; the interpreter lock is released while a BGZF block is
// decoded or a long region is read.  close() lets go of the file; a fetch
// running on another thread finishes on the file it started with.
//
// compression_of(head) -> "plain" | "bgzf" | "gzip", for a file whose first
//   bytes (18 of them, BGZF's header) are `head`
// build_index(path) -> (fai bytes, gzi bytes or None)
//   Reads the file through once, with the interpreter lock released, and
//   builds its indexes as genome tools write them (formats/fasta_index.h);
//   a name met twice keeps its first record, with a UserWarning.  A file
//   that the tools refuse raises FormatError naming the record and line.
// build_gzi(path) -> bytes
//   The .gzi of a BGZF file, from its block headers alone.
#ifndef ALPHABET_NATIVE_IO_GENOME_H_
#define ALPHABET_NATIVE_IO_GENOME_H_

#include <Python.h>

namespace native {

// Adds Genome and the index functions to the module.
bool AddGenome(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_GENOME_H_
