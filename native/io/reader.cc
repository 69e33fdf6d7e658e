#include "native/io/reader.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bindings/gil.h"
#include "formats/fastx_parser.h"
#include "native/codec/codec.h"
#include "native/common/buffers.h"
#include "native/common/errors.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/methods.h"
#include "native/common/ref.h"
#include "native/io/batch.h"
#include "native/io/fields.h"
#include "native/io/record.h"

namespace native {
namespace {

constexpr Py_ssize_t kDefaultChunk = Py_ssize_t{1} << 20;
// A piece that a source's read() returns is parsed at most this much at a
// time: the records of each part are made, with the lock held, before the
// next part is parsed without it, so a thread that feeds the source (a
// decompressor) gets the lock within about a thousand records.
constexpr size_t kParseStep = size_t{256} << 10;
// Records are added to a batch with the interpreter lock released when at
// least this many are at hand.
constexpr size_t kUnlockedRecords = 64;
PyTypeObject* reader_type = nullptr;

// What a reader holds in C++: gone once the reader is closed.
struct ReaderState {
  formats::FastxParser parser;
  std::optional<BatchBuilder> builder;
  // What the source's read() returned, parsed a part at a time.
  PinnedBuffer held;
  size_t held_at = 0;
};

struct ReaderObject {
  PyObject_HEAD ReaderState* state;  // null once the reader is closed
  PyObject* source;                  // read from, or (with fd) kept alive
  PyObject* read;                    // source.readinto or source.read; null with fd
  PyObject* chunk;                   // the bytearray that readinto fills
  PyObject* closer;
  PyObject* codec;    // the alphabet's Codec, or null for records of text
  PyObject* pending;  // an exception for the next call to raise
  PyObject* cause;    // what the source raised when its input broke
  Py_ssize_t chunk_size;
  Py_ssize_t batch_size;  // 0: records one at a time
  size_t next;            // the next record of the parser's batch
  long long bytes_read;
  long long skipped;
  long long line;          // the header line of the last record given
  formats::Format format;  // as the parser last told, for readers on other threads
  int fd;
  uint8_t phred;
  bool skip;
  bool busy;
  // The codec's tables, valid while `codec` is held; null without one.
  const CodecTables* tables;
};

ReaderObject* AsReader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

// Marks a reader busy for the duration of a call, so that neither another
// thread nor Python code that the call runs can use its parser meanwhile.
class Busy {
 public:
  explicit Busy(ReaderObject* reader) : reader_(reader) { reader_->busy = true; }
  ~Busy() {
    if (HoldsInterpreter()) reader_->busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  ReaderObject* reader_;
};

bool RefuseBusy(ReaderObject* reader) {
  if (!reader->busy) return false;
  PyErr_SetString(PyExc_ValueError, "reader already executing");
  return true;
}

// Ends the input: the parser and the source go, and the closer runs once.
bool Close(ReaderObject* reader) {
  delete reader->state;
  reader->state = nullptr;
  reader->next = 0;
  Py_CLEAR(reader->read);
  Py_CLEAR(reader->chunk);
  Py_CLEAR(reader->cause);
  PyObject* closer = reader->closer;
  reader->closer = nullptr;
  bool ok = true;
  if (closer != nullptr) {
    PyObject* result = PyObject_CallNoArgs(closer);
    Py_DECREF(closer);
    ok = result != nullptr;
    Py_XDECREF(result);
  }
  Py_CLEAR(reader->source);
  return ok;
}

// The parser could not get memory: its state is lost, so the reader ends.
void RaiseNoMemory(ReaderObject* reader) {
  PyObject* pending = PyErr_GetRaisedException();
  if (!Close(reader)) PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(reader));
  PyErr_SetRaisedException(pending);
  PyErr_NoMemory();
}

// The source raised.  EOFError and BrokenInput (a compressed stream cut
// short or corrupt) end the input where the parser stands: true, and the
// parser is done with the error.  Anything else is passed on (false), and
// the parser is as it was, so that reading can go on after it.
bool SourceBroke(ReaderObject* reader) {
  const bool eof = PyErr_ExceptionMatches(PyExc_EOFError);
  if (!eof && !PyErr_ExceptionMatches(BrokenInput())) return false;
  Ref raised(PyErr_GetRaisedException());
  Ref text(PyObject_Str(raised.get()));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) return false;
  formats::FastxParser& parser = reader->state->parser;
  const bool memory = !RanOutOfMemory([&] {
    const std::string_view said(utf8, static_cast<size_t>(size));
    parser.Break(eof ? "the input ends early (" + std::string(said) + ")" : std::string(said));
    parser.Parse();
  });
  if (!memory) {
    RaiseNoMemory(reader);
    return false;
  }
  Py_XSETREF(reader->cause, raised.Take());
  return true;
}

// Reads from the file descriptor and parses, with the interpreter lock
// released, until the parser has records or the input has ended.
bool FillFromDescriptor(ReaderObject* reader) {
  formats::FastxParser& parser = reader->state->parser;
  for (;;) {
    int read_error = 0;
    long long taken = 0;
    bool memory = true;
    {
      bindings::GilRelease unlocked;
      memory = !RanOutOfMemory([&] {
        for (;;) {
          std::span<char> room = parser.Reserve(static_cast<size_t>(reader->chunk_size));
          const ssize_t n = ::read(reader->fd, room.data(), room.size());
          if (n < 0) {
            read_error = errno;
            return;
          }
          if (n == 0) {
            parser.Finish();
          } else {
            parser.Commit(static_cast<size_t>(n));
            taken += n;
          }
          parser.Parse();
          if (!parser.records().empty() || parser.done()) return;
        }
      });
    }
    reader->bytes_read += taken;
    if (!memory) {
      RaiseNoMemory(reader);
      return false;
    }
    if (read_error == 0) return true;
    if (read_error != EINTR) {
      errno = read_error;
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    }
    // A signal arrived during the read: its Python handler runs now, and
    // reading goes on unless it raised.
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// Calls the source's read() or readinto(); the bytes it gave are in
// `bytes` (empty at the end of the input).  False with the exception set.
bool ReadSource(ReaderObject* reader, std::string_view& bytes) {
  ReaderState& state = *reader->state;
  PyObject* result = reader->chunk != nullptr
                         ? PyObject_CallOneArg(reader->read, reader->chunk)
                         : PyObject_CallFunction(reader->read, "n", reader->chunk_size);
  if (result == nullptr) return false;
  if (reader->chunk != nullptr) {
    // The source may have kept and resized the bytearray: the count is
    // checked against its size now.
    const Py_ssize_t size = result == Py_None ? -1 : PyLong_AsSsize_t(result);
    Py_DECREF(result);
    if (size == -1 && PyErr_Occurred()) return false;
    if (size < 0 || size > PyByteArray_GET_SIZE(reader->chunk)) {
      if (size == -1) {
        PyErr_SetString(PyExc_BlockingIOError, "the source has no data ready (non-blocking)");
      } else {
        PyErr_Format(PyExc_ValueError, "readinto() returned %zd for a buffer of %zd bytes", size,
                     PyByteArray_GET_SIZE(reader->chunk));
      }
      return false;
    }
    bytes = std::string_view(PyByteArray_AS_STRING(reader->chunk), static_cast<size_t>(size));
    return true;
  }
  const Ref given(result);
  if (result == Py_None) {
    PyErr_SetString(PyExc_BlockingIOError, "the source has no data ready (non-blocking)");
    return false;
  }
  if (PyUnicode_Check(result) || !state.held.Pin(result, PyBUF_SIMPLE)) {
    // Only the refusal of a buffer is reworded; an exception raised by the
    // object's own __buffer__ (an interrupt, say) is passed on.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_BufferError)) {
      return false;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "read() returned %.200s, not bytes: the source must be a binary file",
                 Py_TYPE(result)->tp_name);
    return false;
  }
  state.held_at = 0;
  bytes = std::string_view(static_cast<const char*>(state.held.data()), state.held.bytes());
  return true;
}

// Takes one piece of input from the file object (or the next part of the
// last piece) and parses it, with the interpreter lock released for
// parsing.
bool FillFromFile(ReaderObject* reader) {
  ReaderState& state = *reader->state;
  std::string_view bytes;
  if (state.held_at < state.held.bytes()) {
    bytes = std::string_view(static_cast<const char*>(state.held.data()), state.held.bytes());
  } else {
    state.held.Release();
    state.held_at = 0;
    if (!ReadSource(reader, bytes)) return SourceBroke(reader);
    reader->bytes_read += static_cast<long long>(bytes.size());
  }
  const bool end = bytes.empty();
  if (reader->chunk == nullptr) {
    bytes = bytes.substr(state.held_at, kParseStep);
    state.held_at += bytes.size();
  }
  formats::FastxParser& parser = state.parser;
  bool memory = !RanOutOfMemory([&] { parser.Append(bytes); });
  if (memory) {
    if (end) parser.Finish();
    bindings::GilRelease unlocked;
    memory = !RanOutOfMemory([&] { parser.Parse(); });
  }
  if (!memory) {
    RaiseNoMemory(reader);
    return false;
  }
  return true;
}

// More input for the parser; its records then start over.
bool Fill(ReaderObject* reader) {
  const bool filled = reader->fd >= 0 ? FillFromDescriptor(reader) : FillFromFile(reader);
  if (!filled) return false;
  reader->next = 0;
  if (reader->state != nullptr) reader->format = reader->state->parser.format();
  return true;
}

// The input has ended: StopIteration, or the parser's error as FormatError
// (made before Close deletes the parser that holds it).
PyObject* End(ReaderObject* reader, PyObject* self) {
  const formats::ParseError& parsed = reader->state->parser.error();
  const bool failed = parsed.kind != formats::ErrorKind::kNone;
  PyObject* error = nullptr;
  if (failed) {
    RaiseFormatError(parsed.message, parsed.line);
    error = PyErr_GetRaisedException();
    if (error != nullptr && reader->cause != nullptr) {
      PyException_SetCause(error, Py_NewRef(reader->cause));
    }
  }
  const bool closed = Close(reader);
  if (!failed) return nullptr;  // StopIteration, or closing failed
  if (!closed) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(error);
  return nullptr;
}

// An error of one record (a symbol the alphabet refuses, a quality outside
// the Phred range), which `skip` passes over.
bool RecordFault() {
  return PyErr_ExceptionMatches(AlphabetError()) || PyErr_ExceptionMatches(FormatError());
}

PyObject* MakeRecord(ReaderObject* reader, const formats::Record& record) {
  // An ASCII header with a description stays whole, its id and description
  // made when asked for (record.h); the two views lie in the one header.
  const bool whole = record.ascii && !record.description.empty();
  Ref id, description;
  if (whole) {
    const auto size = static_cast<size_t>(record.description.data() + record.description.size() -
                                          record.id.data());
    id.Reset(Text({record.id.data(), size}, /*ascii=*/true));
    if (!id) return nullptr;
  } else {
    id.Reset(Text(record.id, record.ascii));
    description.Reset(id ? Text(record.description, record.ascii) : nullptr);
    if (!description) return nullptr;
  }
  Ref sequence(reader->tables != nullptr ? Codes(*reader->tables, record)
                                         : Text(record.sequence, record.ascii));
  if (!sequence) return nullptr;
  Ref quality;
  if (reader->state->parser.format() != formats::Format::kFastq) {
    quality = Ref::Of(Py_None);
  } else if (reader->phred != 0) {
    quality.Reset(PhredQuality(record, reader->phred));
  } else {
    quality.Reset(Text(record.quality, record.ascii));
  }
  if (!quality) return nullptr;
  if (whole) {
    return NewRecordOfHeader(id.Take(), static_cast<Py_ssize_t>(record.id.size()),
                             static_cast<Py_ssize_t>(record.description.data() - record.id.data()),
                             sequence.Take(), quality.Take());
  }
  return NewRecord(id.Take(), description.Take(), sequence.Take(), quality.Take());
}

PyObject* NextRecord(ReaderObject* reader, PyObject* self) {
  for (;;) {
    ReaderState& state = *reader->state;
    const std::span<const formats::Record> records = state.parser.records();
    while (reader->next < records.size()) {
      const formats::Record& record = records[reader->next++];
      PyObject* made = MakeRecord(reader, record);
      if (made != nullptr) {
        reader->line = record.line;
        reader->format = state.parser.format();
        return made;
      }
      if (!reader->skip || !RecordFault()) return nullptr;
      PyErr_Clear();
      ++reader->skipped;
    }
    if (state.parser.done()) return End(reader, self);
    if (!Fill(reader)) return nullptr;
  }
}

// Adds a record that the builder could not add without the interpreter:
// one to code through its text, or one at fault (raised).
bool AddSlowly(ReaderObject* reader, const formats::Record& record, bool fastq,
               BatchBuilder::Outcome outcome, size_t at) {
  using Outcome = BatchBuilder::Outcome;
  BatchBuilder& builder = *reader->state->builder;
  if (outcome == Outcome::kNeedsText) {
    const Ref codes(Codes(*reader->tables, record));
    PinnedBuffer pinned;
    if (!codes || !pinned.Pin(codes.get(), PyBUF_SIMPLE)) return false;
    const size_t width = reader->tables->code_width();
    outcome = Guarded(
        [&] { return builder.AddCoded(record, fastq, pinned.data(), pinned.bytes() / width, at); });
    if (PyErr_Occurred()) return false;
  }
  switch (outcome) {
    case Outcome::kAdded: return true;
    case Outcome::kBadSymbol: RaiseBadSymbol(record, at); return false;
    case Outcome::kBadQuality: RaiseBadQuality(record, at, reader->phred); return false;
    case Outcome::kUneven: {
      const Ref id(Text(record.id, record.ascii));
      const Ref message(
          id ? PyUnicode_FromFormat(
                   "line %lld: the quality of FASTQ record %R does not match its sequence item "
                   "for item (text beyond ASCII, or symbols of several characters), which a batch "
                   "cannot lay out alike; read it record by record",
                   static_cast<long long>(record.line), id.get())
             : nullptr);
      Ref error(message ? PyObject_CallFunction(FormatError(), "(OL)", message.get(),
                                                static_cast<long long>(record.line))
                        : nullptr);
      if (error) PyErr_SetObject(FormatError(), error.get());
      return false;
    }
    case Outcome::kNeedsText: break;
  }
  PyErr_SetString(PyExc_SystemError, "a record was left uncoded");
  return false;
}

PyObject* TakeBatch(ReaderObject* reader) {
  reader->format = reader->state->parser.format();
  PyObject* batch = reader->state->builder->Take(reader->format == formats::Format::kFastq);
  if (batch == nullptr) RaiseNoMemory(reader);
  return batch;
}

PyObject* NextBatch(ReaderObject* reader, PyObject* self) {
  using Outcome = BatchBuilder::Outcome;
  const auto batch_size = static_cast<size_t>(reader->batch_size);
  for (;;) {
    ReaderState& state = *reader->state;
    BatchBuilder& builder = *state.builder;
    const bool fastq = state.parser.format() == formats::Format::kFastq;
    const std::span<const formats::Record> records = state.parser.records();
    while (reader->next < records.size() && builder.size() < batch_size) {
      const size_t wanted = std::min(records.size() - reader->next, batch_size - builder.size());
      Outcome outcome = Outcome::kAdded;
      size_t at = 0;
      auto add = [&] {
        return !RanOutOfMemory([&] {
          for (size_t added = 0; added < wanted; ++added) {
            outcome = builder.Add(records[reader->next], fastq, at);
            if (outcome != Outcome::kAdded) return;
            ++reader->next;
          }
        });
      };
      const bool memory = wanted >= kUnlockedRecords ? Unlocked(kUnlockedFrom, add) : add();
      if (!memory) {
        RaiseNoMemory(reader);
        return nullptr;
      }
      if (reader->next > 0) reader->line = records[reader->next - 1].line;
      if (outcome == Outcome::kAdded) continue;
      const formats::Record& record = records[reader->next++];
      if (AddSlowly(reader, record, fastq, outcome, at)) {
        reader->line = record.line;
        continue;
      }
      if (!RecordFault()) return nullptr;
      if (reader->skip) {
        PyErr_Clear();
        ++reader->skipped;
        continue;
      }
      // The batch before the record at fault comes first.
      if (builder.size() == 0) return nullptr;
      reader->pending = PyErr_GetRaisedException();
      return TakeBatch(reader);
    }
    if (builder.size() >= batch_size) return TakeBatch(reader);
    if (state.parser.done()) {
      if (builder.size() == 0) return End(reader, self);
      PyObject* batch = TakeBatch(reader);
      if (batch == nullptr || state.parser.error().kind == formats::ErrorKind::kNone) return batch;
      // The error comes with the next call, after this batch.
      End(reader, self);
      reader->pending = PyErr_GetRaisedException();
      return batch;
    }
    if (!Fill(reader)) return nullptr;
  }
}

PyObject* ReaderNext(PyObject* self) {
  ReaderObject* reader = AsReader(self);
  if (RefuseBusy(reader)) return nullptr;
  if (reader->pending != nullptr) {
    PyObject* pending = reader->pending;
    reader->pending = nullptr;
    PyErr_SetRaisedException(pending);
    return nullptr;
  }
  if (reader->state == nullptr) return nullptr;
  Busy busy(reader);
  return reader->batch_size > 0 ? NextBatch(reader, self) : NextRecord(reader, self);
}

int ReaderInit(ReaderObject* reader, PyObject* source, int fd, PyObject* head, PyObject* closer,
               PyObject* codec, Py_ssize_t chunk_size, int phred, bool skip,
               Py_ssize_t batch_size) {
  if (chunk_size < 1) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be at least 1");
    return -1;
  }
  if (phred < 0 || phred > '~') {
    PyErr_SetString(PyExc_ValueError, "phred must be an offset in [0, 126], 0 for none");
    return -1;
  }
  if (batch_size < 0) {
    PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1, or 0 for records");
    return -1;
  }
  reader->chunk_size = chunk_size;
  reader->batch_size = batch_size;
  reader->phred = static_cast<uint8_t>(phred);
  reader->skip = skip;
  reader->fd = fd;
  reader->source = Py_NewRef(source);
  if (fd < 0) {
    reader->read = PyObject_GetAttrString(source, "readinto");
    if (reader->read != nullptr) {
      reader->chunk = NewByteArray(chunk_size);
      if (reader->chunk == nullptr) return -1;
    } else {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
      PyErr_Clear();
      reader->read = PyObject_GetAttrString(source, "read");
      if (reader->read == nullptr) return -1;
    }
  }
  if (closer != Py_None) {
    if (!PyCallable_Check(closer)) {
      PyErr_SetString(PyExc_TypeError, "closer must be callable or None");
      return -1;
    }
    reader->closer = Py_NewRef(closer);
  }
  if (codec != Py_None) {
    const CodecTables* tables = TablesOfCodec(codec);
    if (tables == nullptr) return -1;
    reader->codec = Py_NewRef(codec);
    reader->tables = tables;
  }
  reader->state = Guarded([&]() -> ReaderState* {
    auto state = std::make_unique<ReaderState>();
    if (batch_size > 0) state->builder.emplace(reader->tables, reader->phred);
    return state.release();
  });
  if (reader->state == nullptr) return -1;
  // A file descriptor's chunks are read into the parser's own buffer: made
  // now, so that a chunk too large to hold is a MemoryError here.
  if (fd >= 0 && !reader->state->parser.TryReserve(static_cast<size_t>(chunk_size))) {
    PyErr_NoMemory();
    return -1;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(head, &view, PyBUF_SIMPLE) < 0) return -1;
  const std::string_view bytes(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  // The records the head completes come before anything more is read: a
  // pipe's first records must not wait for more input.
  const bool memory = !RanOutOfMemory([&] {
    reader->state->parser.Append(bytes);
    reader->state->parser.Parse();
  });
  reader->bytes_read = view.len;
  PyBuffer_Release(&view);
  if (!memory) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"",           "fd",    "head", "closer",     "codec",
                                   "chunk_size", "phred", "skip", "batch_size", nullptr};
  PyObject *source, *head = nullptr, *closer = Py_None, *codec = Py_None;
  int fd = -1, phred = 0, skip = 0;
  Py_ssize_t chunk_size = kDefaultChunk, batch_size = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$iOOOnipn:Reader", const_cast<char**>(keywords),
                                   &source, &fd, &head, &closer, &codec, &chunk_size, &phred, &skip,
                                   &batch_size)) {
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  PyObject* no_head = head == nullptr ? PyBytes_FromStringAndSize(nullptr, 0) : nullptr;
  if (head == nullptr && no_head == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  const int status = ReaderInit(AsReader(self), source, fd, head != nullptr ? head : no_head,
                                closer, codec, chunk_size, phred, skip != 0, batch_size);
  Py_XDECREF(no_head);
  if (status < 0) {
    // The closer is not run for a reader that never started.
    Py_CLEAR(AsReader(self)->closer);
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

int ReaderTraverse(PyObject* self, visitproc visit, void* arg) {
  ReaderObject* reader = AsReader(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reader->source);
  Py_VISIT(reader->read);
  Py_VISIT(reader->chunk);
  Py_VISIT(reader->closer);
  Py_VISIT(reader->codec);
  Py_VISIT(reader->pending);
  Py_VISIT(reader->cause);
  return 0;
}

int ReaderClear(PyObject* self) {
  ReaderObject* reader = AsReader(self);
  // Whatever still reaches a reader whose cycle is being broken finds it
  // ended, not half cleared.
  delete reader->state;
  reader->state = nullptr;
  Py_CLEAR(reader->source);
  Py_CLEAR(reader->read);
  Py_CLEAR(reader->chunk);
  Py_CLEAR(reader->closer);
  Py_CLEAR(reader->codec);
  Py_CLEAR(reader->pending);
  Py_CLEAR(reader->cause);
  reader->tables = nullptr;
  return 0;
}

// A reader dropped before its input ended still closes its source.
void ReaderFinalize(PyObject* self) {
  ReaderObject* reader = AsReader(self);
  if (reader->closer == nullptr) return;
  PyObject* pending = PyErr_GetRaisedException();
  if (!Close(reader)) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(pending);
}

void ReaderDealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  ReaderClear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* ReaderClose(PyObject* self, PyObject*) {
  ReaderObject* reader = AsReader(self);
  if (RefuseBusy(reader)) return nullptr;
  Busy busy(reader);
  if (!Close(reader)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* ReaderEnter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* ReaderExit(PyObject* self, PyObject*) { return ReaderClose(self, nullptr); }

PyObject* ReaderBytesRead(PyObject* self, void*) {
  return PyLong_FromLongLong(AsReader(self)->bytes_read);
}

PyObject* ReaderFormat(PyObject* self, void*) {
  switch (AsReader(self)->format) {
    case formats::Format::kFasta: return PyUnicode_FromString("fasta");
    case formats::Format::kFastq: return PyUnicode_FromString("fastq");
    case formats::Format::kUnknown: break;
  }
  Py_RETURN_NONE;
}

PyObject* ReaderClosed(PyObject* self, void*) {
  return PyBool_FromLong(AsReader(self)->state == nullptr);
}

PyObject* ReaderSkipped(PyObject* self, void*) {
  return PyLong_FromLongLong(AsReader(self)->skipped);
}

PyObject* ReaderLine(PyObject* self, void*) { return PyLong_FromLongLong(AsReader(self)->line); }

PyMethodDef reader_methods[] = {
    {"close", ReaderClose, METH_NOARGS,
     "Ends the reading: the source is closed if the reader opened it."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "Reader[Record[str]] or Reader[RecordBatch]: what the reader yields, for annotations."},
    {"__enter__", ReaderEnter, METH_NOARGS, nullptr},
    {"__exit__", ReaderExit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"bytes_read", ReaderBytesRead, nullptr,
     "Bytes taken from the source so far (after decompression).", nullptr},
    {"format", ReaderFormat, nullptr,
     "'fasta' or 'fastq' once the first record has been read; None before.", nullptr},
    {"closed", ReaderClosed, nullptr, "True once the input has ended or close() was called.",
     nullptr},
    {"skipped", ReaderSkipped, nullptr,
     "Records passed over because they did not code (with errors='skip').", nullptr},
    {"line", ReaderLine, nullptr,
     "The header line of the last record given (in a batch, its last record); 0 before.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, AsSlot(&ReaderNew)},
    {Py_tp_dealloc, AsSlot(&ReaderDealloc)},
    {Py_tp_finalize, AsSlot(&ReaderFinalize)},
    {Py_tp_traverse, AsSlot(&ReaderTraverse)},
    {Py_tp_clear, AsSlot(&ReaderClear)},
    {Py_tp_iter, AsSlot(&PyObject_SelfIter)},
    {Py_tp_iternext, AsSlot(&ReaderNext)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>("An iterator of the records (or batches of records) of a "
                                  "FASTA or FASTQ input; made by alphabet.read.")},
    {0, nullptr},
};

}  // namespace

bool AddReader(PyObject* module) {
  return AddType(module, "Reader",
                 {.name = "alphabet._native.Reader",
                  .basicsize = sizeof(ReaderObject),
                  .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
                  .slots = reader_slots},
                 reader_type);
}

}  // namespace native
