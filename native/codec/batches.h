// Padded batches: many sequences coded into the rows of one (n, L) Array,
// each row a prefix, the sequence's codes and a suffix, padded to L; and the
// texts of such rows back.  The sequences are read with the interpreter lock
// held (texts, buffers of codes, lists of ints, records, or one flat buffer
// cut by offsets), then every row is filled without it.
#ifndef ALPHABET_NATIVE_CODEC_BATCHES_H_
#define ALPHABET_NATIVE_CODEC_BATCHES_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "native/codec/code_buffers.h"
#include "native/codec/codec_tables.h"
#include "native/common/ref.h"

namespace native {

// The sequences of a batch as their rows will read them: text characters
// (one code each) or codes, in memory held by the batch.
class BatchRows {
 public:
  enum class Kind : uint8_t { kText1, kText2, kText4, kCodes };
  struct Row {
    Kind kind;
    CodeType type;     // for kCodes
    const void* data;  // the characters or codes
    size_t size;       // how many
    PyObject* origin;  // the str a text row comes from (borrowed), or null
  };

  explicit BatchRows(const CodecTables& tables) : tables_(tables) {}

  // Reads `sequences`: an iterable of str, buffers of codes, iterables of
  // ints, or objects with a `sequence` that is one of these (records).
  // False with the exception set, naming the sequence.
  bool ReadItems(PyObject* sequences);
  // Reads one flat buffer cut by `offsets` (n + 1 starts, int64 or any
  // integer items): codes, or with `text` Latin-1 text bytes.
  bool ReadFlat(PyObject* flat, PyObject* offsets, bool text);

  const std::vector<Row>& rows() const { return rows_; }

 private:
  bool AddItem(PyObject* item, Py_ssize_t index, bool nested);
  // Codes made by encoding a text (tokens, or characters the tables leave to
  // the interpreter): they become a row of codes.
  bool AddEncoded(PyObject* codes);

  const CodecTables& tables_;
  std::vector<Row> rows_;
  std::deque<CodeSource> sources_;  // never moved: rows point into them
  std::deque<PinnedBuffer> texts_;
  std::vector<Ref> held_;
};

// Re-raises the pending AlphabetError, TypeError or ValueError with
// "sequence <index>: " before its message (an AlphabetError keeps its
// position); any other exception is left as it is.
void NameSequence(Py_ssize_t index);

bool AddBatchFunctions(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_BATCHES_H_
