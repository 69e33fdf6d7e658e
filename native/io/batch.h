// alphabet.RecordBatch: many records of a FASTA or FASTQ input in a few
// buffers, as read(source, batch_size=N) yields them, and the builder that
// gathers them from the parser.
//
// A batch of n records holds `sequences`, every record's codes (or, without
// an alphabet, the bytes of its text) one after the other; `offsets`, n + 1
// int64 starts into it; `qualities`, laid out as `sequences` (bytes of
// Phred scores with phred=, else the quality's characters), or None for
// FASTA; `ids` and `descriptions`, lists of str made on first use.  The
// buffers are alphabet._native.BatchBuffer objects (common/owned_buffer.h):
// numpy and pyarrow read them in place.  batch[i] is the Record that
// record-by-record reading gives.  Immutable.
#ifndef ALPHABET_NATIVE_IO_BATCH_H_
#define ALPHABET_NATIVE_IO_BATCH_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/fastx_parser.h"
#include "native/codec/codec_tables.h"
#include "native/common/owned_buffer.h"

namespace native {

// Gathers records into the buffers of one batch.  Add needs no interpreter
// lock; one builder belongs to one thread at a time.  The codec's tables
// must outlive the builder.
class BatchBuilder {
 public:
  enum class Outcome : uint8_t {
    kAdded,
    // A sequence beyond ASCII with an alphabet: coded through its str, with
    // the lock (AddCoded).
    kNeedsText,
    // A symbol the alphabet refuses, at byte `at` of the sequence.
    kBadSymbol,
    // A quality character outside the Phred range, at byte `at`.
    kBadQuality,
    // A quality that does not match the sequence's items one for one (text
    // beyond ASCII, symbols of several characters): the two cannot share
    // offsets.
    kUneven,
  };

  BatchBuilder(const CodecTables* tables, uint8_t phred);
  BatchBuilder(const BatchBuilder&) = delete;
  BatchBuilder& operator=(const BatchBuilder&) = delete;

  // Adds `record` (of a FASTQ input when `fastq`), or says why not (the
  // batch then unchanged).  Throws std::bad_alloc when memory runs out: the
  // builder is then to be dropped.
  Outcome Add(const formats::Record& record, bool fastq, size_t& at);
  // Adds `record` with its codes made already: `count` of them, of the
  // codec's width, at `codes`.
  Outcome AddCoded(const formats::Record& record, bool fastq, const void* codes, size_t count,
                   size_t& at);

  size_t size() const { return count_; }

  // The records added so far (at least one) as a RecordBatch; the builder
  // starts over.  Null with the exception set (the builder is then to be
  // dropped).
  PyObject* Take(bool fastq);

 private:
  Outcome AddQuality(const formats::Record& record, bool fastq, size_t items, size_t& at);
  void Finish(const formats::Record& record, size_t sequence_items);

  // Room for a batch like the last one, made before its first record.
  void Prepare();

  const CodecTables* tables_;
  uint8_t phred_;
  // The sizes the last batch reached, which the next is given room for up
  // front: a batch's buffers then grow without moving.
  size_t last_sequences_ = 0, last_qualities_ = 0, last_names_ = 0, last_count_ = 0;
  size_t width_;  // bytes per item of `sequences_`
  GrowingBuffer sequences_, offsets_, qualities_;
  std::string names_;
  // 2n + 1 starts in names_: id i lies in [2i, 2i + 1), its description in
  // [2i + 1, 2i + 2).
  std::vector<int64_t> name_starts_;
  std::vector<uint8_t> ascii_;
  size_t count_ = 0;
  int64_t items_ = 0;  // items in sequences_
};

// Adds RecordBatch to the module.
bool AddBatches(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_IO_BATCH_H_
