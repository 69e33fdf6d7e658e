#include "native/io/reader.h"

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
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
#include "native/io/record.h"

namespace native {
namespace {

constexpr Py_ssize_t kDefaultChunk = Py_ssize_t{1} << 20;
// Fields at least this long are copied or translated with the interpreter
// lock released.
constexpr size_t kLongField = size_t{1} << 20;
PyTypeObject* reader_type = nullptr;

struct ReaderObject {
  PyObject_HEAD formats::FastxParser* parser;  // null once the reader is closed
  PyObject* source;                            // read from, or (with fd) kept alive
  PyObject* read;                              // source.readinto or source.read; null with fd
  PyObject* chunk;                             // the bytearray that readinto fills
  PyObject* closer;
  PyObject* codec;  // the alphabet's Codec, or null for records of text
  Py_ssize_t chunk_size;
  size_t next;  // the next record of the parser's batch
  long long bytes_read;
  formats::Format format;  // as the parser last told, for readers on other threads
  int fd;
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
  delete reader->parser;
  reader->parser = nullptr;
  reader->next = 0;
  Py_CLEAR(reader->read);
  Py_CLEAR(reader->chunk);
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

// Reads from the file descriptor and parses, with the interpreter lock
// released, until the parser has records or the input has ended.
bool FillFromDescriptor(ReaderObject* reader) {
  formats::FastxParser& parser = *reader->parser;
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

// Takes one piece of input from the file object and parses it, with the
// interpreter lock released for parsing.
bool FillFromFile(ReaderObject* reader) {
  formats::FastxParser& parser = *reader->parser;
  PyObject* result = reader->chunk != nullptr
                         ? PyObject_CallOneArg(reader->read, reader->chunk)
                         : PyObject_CallFunction(reader->read, "n", reader->chunk_size);
  if (result == nullptr) return false;
  bool memory = true;
  Py_ssize_t size = 0;
  if (reader->chunk != nullptr) {
    // The source may have kept and resized the bytearray: the count is
    // checked against its size now.
    size = result == Py_None ? -1 : PyLong_AsSsize_t(result);
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
    const std::string_view bytes(PyByteArray_AS_STRING(reader->chunk), static_cast<size_t>(size));
    memory = !RanOutOfMemory([&] { parser.Append(bytes); });
  } else {
    Py_buffer view;
    if (result == Py_None) {
      Py_DECREF(result);
      PyErr_SetString(PyExc_BlockingIOError, "the source has no data ready (non-blocking)");
      return false;
    }
    if (PyUnicode_Check(result) || PyObject_GetBuffer(result, &view, PyBUF_SIMPLE) < 0) {
      // Only the refusal of a buffer is reworded; an exception raised by
      // the object's own __buffer__ (an interrupt, say) is passed on.
      if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError) &&
          !PyErr_ExceptionMatches(PyExc_BufferError)) {
        Py_DECREF(result);
        return false;
      }
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "read() returned %.200s, not bytes: the source must be a binary file",
                   Py_TYPE(result)->tp_name);
      Py_DECREF(result);
      return false;
    }
    size = view.len;
    const std::string_view bytes(static_cast<const char*>(view.buf), static_cast<size_t>(size));
    memory = !RanOutOfMemory([&] { parser.Append(bytes); });
    PyBuffer_Release(&view);
    Py_DECREF(result);
  }
  if (memory) {
    reader->bytes_read += size;
    if (size == 0) parser.Finish();
    bindings::GilRelease unlocked;
    memory = !RanOutOfMemory([&] { parser.Parse(); });
  }
  if (!memory) {
    RaiseNoMemory(reader);
    return false;
  }
  return true;
}

// A str of `text`, valid UTF-8 (ASCII when `ascii`).
PyObject* Text(std::string_view text, bool ascii) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (!ascii) return PyUnicode_DecodeUTF8(text.data(), size, "strict");
  PyObject* made = PyUnicode_New(size, 127);
  if (made == nullptr || size == 0) return made;
  void* data = PyUnicode_DATA(made);
  if (text.size() < kLongField) {
    std::memcpy(data, text.data(), text.size());
  } else {
    // Nothing else refers to the new text yet.
    bindings::GilRelease unlocked;
    std::memcpy(data, text.data(), text.size());
  }
  return made;
}

// Gives an AlphabetError from encoding a record the record's id and line.
void NameRecordInError(PyObject* id, int64_t line) {
  if (!PyErr_ExceptionMatches(AlphabetError())) return;
  PyObject* error = PyErr_GetRaisedException();
  Py_ssize_t position = -1;
  PyObject* at = PyObject_GetAttrString(error, "position");
  if (at != nullptr && PyLong_Check(at)) position = PyLong_AsSsize_t(at);
  Py_XDECREF(at);
  PyErr_Clear();
  PyObject* message =
      PyUnicode_FromFormat("record %R (line %lld): %S", id, static_cast<long long>(line), error);
  if (message == nullptr) {
    Py_DECREF(error);
    return;
  }
  RaiseAlphabetError(message, position);
  Py_DECREF(message);
  Py_DECREF(error);
}

// The codes of a record's sequence, exactly as the alphabet's encode_all
// gives them for its text; an ASCII sequence is coded from the parser's
// bytes without making the text.
PyObject* Codes(ReaderObject* reader, const formats::Record& record, PyObject* id) {
  PyObject* codes = nullptr;
  if (record.ascii) {
    codes = EncodeLatin1(*reader->tables, reinterpret_cast<const uint8_t*>(record.sequence.data()),
                         record.sequence.size());
  } else {
    const Ref text(Text(record.sequence, /*ascii=*/false));
    if (!text) return nullptr;
    codes = EncodeText(*reader->tables, text.get());
  }
  if (codes == nullptr) NameRecordInError(id, record.line);
  return codes;
}

PyObject* MakeRecord(ReaderObject* reader, const formats::Record& record) {
  PyObject* id = Text(record.id, record.ascii);
  if (id == nullptr) return nullptr;
  PyObject* description = Text(record.description, record.ascii);
  if (description == nullptr) {
    Py_DECREF(id);
    return nullptr;
  }
  PyObject* sequence =
      reader->tables != nullptr ? Codes(reader, record, id) : Text(record.sequence, record.ascii);
  if (sequence == nullptr) {
    Py_DECREF(id);
    Py_DECREF(description);
    return nullptr;
  }
  PyObject* quality = reader->format == formats::Format::kFastq ? Text(record.quality, record.ascii)
                                                                : Py_NewRef(Py_None);
  if (quality == nullptr) {
    Py_DECREF(id);
    Py_DECREF(description);
    Py_DECREF(sequence);
    return nullptr;
  }
  return NewRecord(id, description, sequence, quality);
}

PyObject* ReaderNext(PyObject* self) {
  ReaderObject* reader = AsReader(self);
  if (RefuseBusy(reader) || reader->parser == nullptr) return nullptr;
  Busy busy(reader);
  for (;;) {
    formats::FastxParser& parser = *reader->parser;
    const std::span<const formats::Record> records = parser.records();
    if (reader->next < records.size()) return MakeRecord(reader, records[reader->next++]);
    if (parser.done()) {
      // The error is made before Close deletes the parser that holds it.
      const bool failed = parser.error().kind != formats::ErrorKind::kNone;
      PyObject* error = nullptr;
      if (failed) {
        RaiseFormatError(parser.error().message, parser.error().line);
        error = PyErr_GetRaisedException();
      }
      const bool closed = Close(reader);
      if (!failed) return nullptr;  // StopIteration, or closing failed
      if (!closed) PyErr_WriteUnraisable(self);
      PyErr_SetRaisedException(error);
      return nullptr;
    }
    reader->next = 0;
    const bool filled = reader->fd >= 0 ? FillFromDescriptor(reader) : FillFromFile(reader);
    if (!filled) return nullptr;
    if (reader->parser != nullptr) reader->format = reader->parser->format();
  }
}

int ReaderInit(ReaderObject* reader, PyObject* source, int fd, PyObject* head, PyObject* closer,
               PyObject* codec, Py_ssize_t chunk_size) {
  if (chunk_size < 1) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be at least 1");
    return -1;
  }
  reader->chunk_size = chunk_size;
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
  reader->parser = new (std::nothrow) formats::FastxParser();
  if (reader->parser == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(head, &view, PyBUF_SIMPLE) < 0) return -1;
  const std::string_view bytes(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  const bool memory = !RanOutOfMemory([&] { reader->parser->Append(bytes); });
  reader->bytes_read = view.len;
  PyBuffer_Release(&view);
  if (!memory) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", "fd", "head", "closer", "codec", "chunk_size", nullptr};
  PyObject *source, *head = nullptr, *closer = Py_None, *codec = Py_None;
  int fd = -1;
  Py_ssize_t chunk_size = kDefaultChunk;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$iOOOn:Reader", const_cast<char**>(keywords),
                                   &source, &fd, &head, &closer, &codec, &chunk_size)) {
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
                                closer, codec, chunk_size);
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
  return 0;
}

int ReaderClear(PyObject* self) {
  ReaderObject* reader = AsReader(self);
  // Whatever still reaches a reader whose cycle is being broken finds it
  // ended, not half cleared.
  delete reader->parser;
  reader->parser = nullptr;
  Py_CLEAR(reader->source);
  Py_CLEAR(reader->read);
  Py_CLEAR(reader->chunk);
  Py_CLEAR(reader->closer);
  Py_CLEAR(reader->codec);
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
  return PyBool_FromLong(AsReader(self)->parser == nullptr);
}

PyMethodDef reader_methods[] = {
    {"close", ReaderClose, METH_NOARGS,
     "Ends the reading: the source is closed if the reader opened it."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "Reader[str] or Reader[bytes]: the type of the records' sequences, for annotations."},
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
    {Py_tp_doc, const_cast<char*>("An iterator of the records of a FASTA or FASTQ input; made by "
                                  "alphabet.read.")},
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
