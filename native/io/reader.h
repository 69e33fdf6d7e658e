// alphabet._native.Reader: the iterator that feeds the FASTA and FASTQ
// parser (formats/fastx_parser.h) from a file descriptor or a binary file
// object and makes the records (record.h) or batches of them (batch.h).
//
// Reader(source, /, *, fd=-1, head=b"", closer=None, codec=None,
//        chunk_size=1 MiB, phred=0, skip=False, batch_size=0)
//   With fd >= 0 the input is read with read(2) from fd, in chunks, with the
//   interpreter lock released around each read and each parse step; source
//   is then only kept alive (it owns fd).  Otherwise the input comes from
//   source.readinto(buffer), or source.read(size) when it has no readinto;
//   a long piece that read() returns is parsed a part at a time, so that
//   the lock is let go often (a thread that decompresses the input needs
//   it now and then).  `head` is input already taken from the source,
//   parsed first.  `closer` is called once when the input ends, fails, or
//   the reader is closed or collected.
//
//   Without `codec`, a record's sequence is a str; with it (the Codec of an
//   alphabet of one-character symbols), the sequence is its codes, exactly
//   as the codec's encode gives them for the text, made natively: an ASCII
//   sequence straight from the parser's bytes, any other through its str.
//   With `phred` (33 or 64) a quality is bytes of Phred scores.  With
//   `batch_size` >= 1 the reader yields RecordBatch objects of up to that
//   many records instead of records.
//
// Errors.  A record that does not code (AlphabetError, naming the record
// and the line and column of the symbol) or whose quality is outside the
// Phred range (FormatError naming the record and the line) is raised for
// that record, after the records before it (in batch mode the batch before
// it comes first), and iteration may go on with the next record; with
// `skip` such records are passed over and counted in `skipped`.  A
// malformed input raises the package's FormatError after every record
// before the fault, and ends the iteration; so does a source that raises
// EOFError or alphabet._errors.BrokenInput (a compressed stream cut short
// or corrupt): the FormatError then names the line reading had reached.
// Any other exception of the source (OSError, KeyboardInterrupt, a
// non-blocking source with nothing ready) passes through, and iterating
// again reads on from where the source left off: no record is given twice.
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
