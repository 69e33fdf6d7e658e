#include "native/reader.h"

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>

#include "bindings/gil.h"
#include "formats/fastx_parser.h"
#include "kernels/byte_map.h"
#include "kernels/translate.h"
#include "native/alphabets.h"
#include "native/code_buffers.h"
#include "native/interpreter.h"

namespace native {
namespace {

constexpr Py_ssize_t kDefaultChunk = Py_ssize_t{1} << 20;
// Fields at least this long are copied or translated with the interpreter
// lock released.
constexpr size_t kLongField = size_t{1} << 20;
// A record's repr shows this many elements of a longer sequence or quality.
constexpr Py_ssize_t kShown = 40;

PyTypeObject* record_type = nullptr;
PyTypeObject* reader_type = nullptr;
// alphabet._reader.FormatError, looked up when first raised: that module
// imports this one.
PyObject* format_error = nullptr;

// Runs `work`, which may allocate; false if memory ran out.  The parser
// reports that by throwing, and nothing may throw across the C API.
template <class Work>
bool Guarded(Work&& work) noexcept {
  try {
    work();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

// ---------------------------------------------------------------- Record

struct RecordObject {
  PyObject_HEAD PyObject* id;
  PyObject* description;
  PyObject* sequence;
  PyObject* quality;
};

PyObject* Field(PyObject* value) { return value != nullptr ? value : Py_None; }

// A record of four new references, which it takes over.
PyObject* NewRecord(PyObject* id, PyObject* description, PyObject* sequence, PyObject* quality) {
  auto* record = PyObject_GC_New(RecordObject, record_type);
  if (record == nullptr) {
    Py_DECREF(id);
    Py_DECREF(description);
    Py_DECREF(sequence);
    Py_DECREF(quality);
    return nullptr;
  }
  record->id = id;
  record->description = description;
  record->sequence = sequence;
  record->quality = quality;
  // Texts and bytes refer to nothing, so a record of them cannot be part of
  // a cycle: the collector need not follow the millions a file makes.  A
  // subclass's instance may refer to anything, the record included.
  const bool plain = PyUnicode_CheckExact(id) && PyUnicode_CheckExact(description) &&
                     (PyUnicode_CheckExact(sequence) || PyBytes_CheckExact(sequence)) &&
                     (quality == Py_None || PyUnicode_CheckExact(quality));
  if (!plain) PyObject_GC_Track(record);
  return reinterpret_cast<PyObject*>(record);
}

PyObject* RecordNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", "description", "sequence", "quality", nullptr};
  PyObject *id, *description, *sequence, *quality = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUO|O:Record", const_cast<char**>(keywords), &id,
                                   &description, &sequence, &quality)) {
    return nullptr;
  }
  if (quality != Py_None && !PyUnicode_Check(quality)) {
    PyErr_Format(PyExc_TypeError, "quality must be str or None, not %.200s",
                 Py_TYPE(quality)->tp_name);
    return nullptr;
  }
  return NewRecord(Py_NewRef(id), Py_NewRef(description), Py_NewRef(sequence), Py_NewRef(quality));
}

int RecordTraverse(PyObject* self, visitproc visit, void* arg) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(record->id);
  Py_VISIT(record->description);
  Py_VISIT(record->sequence);
  Py_VISIT(record->quality);
  return 0;
}

int RecordClear(PyObject* self) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  Py_CLEAR(record->id);
  Py_CLEAR(record->description);
  Py_CLEAR(record->sequence);
  Py_CLEAR(record->quality);
  return 0;
}

void RecordDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  RecordClear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

// repr of a field; a long sequence or quality shows its start and length.
PyObject* Shown(PyObject* value) {
  Py_ssize_t length = -1;
  PyObject* start = nullptr;
  if (PyUnicode_Check(value)) {
    length = PyUnicode_GET_LENGTH(value);
    if (length > kShown) start = PyUnicode_Substring(value, 0, kShown);
  } else if (PyBytes_Check(value)) {
    length = PyBytes_GET_SIZE(value);
    if (length > kShown) start = PyBytes_FromStringAndSize(PyBytes_AS_STRING(value), kShown);
  }
  if (length <= kShown) return PyObject_Repr(value);
  if (start == nullptr) return nullptr;
  PyObject* shown = PyUnicode_FromFormat("%R...(%zd long)", start, length);
  Py_DECREF(start);
  return shown;
}

PyObject* RecordRepr(PyObject* self) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  PyObject* sequence = Shown(Field(record->sequence));
  if (sequence == nullptr) return nullptr;
  PyObject* quality = Shown(Field(record->quality));
  if (quality == nullptr) {
    Py_DECREF(sequence);
    return nullptr;
  }
  PyObject* repr =
      PyUnicode_FromFormat("Record(id=%R, description=%R, sequence=%U, quality=%U)",
                           Field(record->id), Field(record->description), sequence, quality);
  Py_DECREF(sequence);
  Py_DECREF(quality);
  return repr;
}

PyObject* RecordFields(PyObject* self) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  return PyTuple_Pack(4, Field(record->id), Field(record->description), Field(record->sequence),
                      Field(record->quality));
}

PyObject* RecordCompare(PyObject* self, PyObject* other, int op) {
  if (!PyObject_TypeCheck(other, record_type) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  PyObject* mine = RecordFields(self);
  if (mine == nullptr) return nullptr;
  PyObject* theirs = RecordFields(other);
  if (theirs == nullptr) {
    Py_DECREF(mine);
    return nullptr;
  }
  PyObject* result = PyObject_RichCompare(mine, theirs, op);
  Py_DECREF(mine);
  Py_DECREF(theirs);
  return result;
}

Py_hash_t RecordHash(PyObject* self) {
  PyObject* fields = RecordFields(self);
  if (fields == nullptr) return -1;
  const Py_hash_t hash = PyObject_Hash(fields);
  Py_DECREF(fields);
  return hash;
}

PyObject* RecordReduce(PyObject* self, PyObject*) {
  PyObject* fields = RecordFields(self);
  if (fields == nullptr) return nullptr;
  return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(Py_TYPE(self)), fields);
}

PyMemberDef record_members[] = {
    {"id", Py_T_OBJECT_EX, offsetof(RecordObject, id), Py_READONLY, "The header's first word."},
    {"description", Py_T_OBJECT_EX, offsetof(RecordObject, description), Py_READONLY,
     "The rest of the header after the first run of whitespace; '' if none."},
    {"sequence", Py_T_OBJECT_EX, offsetof(RecordObject, sequence), Py_READONLY,
     "The sequence lines joined without their line ends (str), or its codes\n"
     "when read with an alphabet."},
    {"quality", Py_T_OBJECT_EX, offsetof(RecordObject, quality), Py_READONLY,
     "The quality lines joined (str) for FASTQ; None for FASTA."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef record_methods[] = {
    {"__reduce__", RecordReduce, METH_NOARGS,
     "Pickles as Record(id, description, sequence, quality)."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "Record[str] or Record[bytes]: the type of the sequence, for annotations."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&RecordNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&RecordDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&RecordTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&RecordClear)},
    {Py_tp_repr, reinterpret_cast<void*>(&RecordRepr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&RecordCompare)},
    {Py_tp_hash, reinterpret_cast<void*>(&RecordHash)},
    {Py_tp_members, record_members},
    {Py_tp_methods, record_methods},
    {Py_tp_doc,
     const_cast<char*>("Record(id, description, sequence, quality=None)\n--\n\n"
                       "One FASTA or FASTQ record, as alphabet.read yields it.  Immutable;\n"
                       "records are equal when their four fields are.")},
    {0, nullptr},
};

PyType_Spec record_spec = {
    "alphabet.Record", sizeof(RecordObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    record_slots,
};

// ---------------------------------------------------------------- Reader

struct ReaderObject {
  PyObject_HEAD formats::FastxParser* parser;  // null once the reader is closed
  PyObject* source;                            // read from, or (with fd) kept alive
  PyObject* read;                              // source.readinto or source.read; null with fd
  PyObject* chunk;                             // the bytearray that readinto fills
  PyObject* closer;
  PyObject* encode;
  Py_ssize_t chunk_size;
  size_t next;  // the next record of the parser's batch
  long long bytes_read;
  formats::Format format;  // as the parser last told, for readers on other threads
  int fd;
  bool busy;
  // Byte -> code for ASCII sequences; owned, null without a table.  Freed
  // only with the reader: a record being made may still be using it.
  const kernels::ByteMap* table;
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

void RaiseFormatError(const formats::ParseError& error) {
  if (format_error == nullptr) {
    PyObject* module = PyImport_ImportModule("alphabet._reader");
    if (module == nullptr) return;
    format_error = PyObject_GetAttrString(module, "FormatError");
    Py_DECREF(module);
    if (format_error == nullptr) return;
  }
  PyObject* message = PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "backslashreplace");
  if (message == nullptr) return;
  PyObject* raised =
      PyObject_CallFunction(format_error, "(OL)", message, static_cast<long long>(error.line));
  Py_DECREF(message);
  if (raised == nullptr) return;
  PyErr_SetObject(format_error, raised);
  Py_DECREF(raised);
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
      memory = Guarded([&] {
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
    memory = Guarded([&] { parser.Append(bytes); });
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
    memory = Guarded([&] { parser.Append(bytes); });
    PyBuffer_Release(&view);
    Py_DECREF(result);
  }
  if (memory) {
    reader->bytes_read += size;
    if (size == 0) parser.Finish();
    bindings::GilRelease unlocked;
    memory = Guarded([&] { parser.Parse(); });
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

// out[i] = the code of in[i]; false if a byte has none, whose code is then
// left undefined.
bool Translate(const kernels::ByteMap& table, std::string_view in, char* out) {
  return kernels::TranslateChecked(reinterpret_cast<const uint8_t*>(in.data()),
                                   reinterpret_cast<uint8_t*>(out), in.size(), table) == in.size();
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

// The codes of a record's sequence.
PyObject* Codes(ReaderObject* reader, const formats::Record& record, PyObject* id) {
  if (reader->table != nullptr && record.ascii) {
    const auto size = static_cast<Py_ssize_t>(record.sequence.size());
    PyObject* codes = PyBytes_FromStringAndSize(nullptr, size);
    if (codes == nullptr) return nullptr;
    bool known;
    if (record.sequence.size() < kLongField) {
      known = Translate(*reader->table, record.sequence, PyBytes_AS_STRING(codes));
    } else {
      char* out = PyBytes_AS_STRING(codes);
      bindings::GilRelease unlocked;
      known = Translate(*reader->table, record.sequence, out);
    }
    if (known) return codes;
    Py_DECREF(codes);
    // The alphabet itself reports the symbol it does not know.
  }
  PyObject* text = Text(record.sequence, record.ascii);
  if (text == nullptr) return nullptr;
  PyObject* codes = PyObject_CallOneArg(reader->encode, text);
  Py_DECREF(text);
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
      reader->encode != nullptr ? Codes(reader, record, id) : Text(record.sequence, record.ascii);
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
        RaiseFormatError(parser.error());
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

bool ParseTable(ReaderObject* reader, PyObject* table) {
  // A list is read from a copy: converting an item may run Python code
  // (__index__) that changes the list meanwhile.
  PyObject* items = PyList_CheckExact(table)
                        ? PyList_AsTuple(table)
                        : PySequence_Fast(table, "table must be a sequence of 256 codes");
  if (items == nullptr) return false;
  bool ok = PySequence_Fast_GET_SIZE(items) == 256;
  if (!ok) PyErr_SetString(PyExc_ValueError, "table must hold 256 codes");
  int32_t codes[256];
  for (Py_ssize_t i = 0; ok && i < 256; ++i) {
    const long code = PyLong_AsLong(PySequence_Fast_GET_ITEM(items, i));
    if (code == -1 && PyErr_Occurred()) {
      ok = false;
    } else if (code < -1 || code > 255) {
      PyErr_Format(PyExc_ValueError, "table code %ld is not -1 or a byte", code);
      ok = false;
    } else {
      codes[i] = static_cast<int32_t>(code);
    }
  }
  Py_DECREF(items);
  if (!ok) return false;
  reader->table = new (std::nothrow) kernels::ByteMap(codes);
  if (reader->table == nullptr) PyErr_NoMemory();
  return reader->table != nullptr;
}

int ReaderInit(ReaderObject* reader, PyObject* source, int fd, PyObject* head, PyObject* closer,
               PyObject* table, PyObject* encode, Py_ssize_t chunk_size) {
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
  if (encode != Py_None) {
    if (!PyCallable_Check(encode)) {
      PyErr_SetString(PyExc_TypeError, "encode must be callable or None");
      return -1;
    }
    reader->encode = Py_NewRef(encode);
  }
  if (table != Py_None) {
    if (reader->encode == nullptr) {
      PyErr_SetString(PyExc_ValueError, "a table needs encode, to report what it refuses");
      return -1;
    }
    if (!ParseTable(reader, table)) return -1;
  }
  reader->parser = new (std::nothrow) formats::FastxParser();
  if (reader->parser == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(head, &view, PyBUF_SIMPLE) < 0) return -1;
  const std::string_view bytes(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  const bool memory = Guarded([&] { reader->parser->Append(bytes); });
  reader->bytes_read = view.len;
  PyBuffer_Release(&view);
  if (!memory) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

PyObject* ReaderNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"",      "fd",     "head",       "closer",
                                   "table", "encode", "chunk_size", nullptr};
  PyObject *source, *head = nullptr, *closer = Py_None, *table = Py_None, *encode = Py_None;
  int fd = -1;
  Py_ssize_t chunk_size = kDefaultChunk;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$iOOOOn:Reader", const_cast<char**>(keywords),
                                   &source, &fd, &head, &closer, &table, &encode, &chunk_size)) {
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
                                closer, table, encode, chunk_size);
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
  Py_VISIT(reader->encode);
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
  Py_CLEAR(reader->encode);
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
  ReaderClear(self);
  delete AsReader(self)->table;
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
    {Py_tp_new, reinterpret_cast<void*>(&ReaderNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&ReaderDealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(&ReaderFinalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(&ReaderTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&ReaderClear)},
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&ReaderNext)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>("An iterator of the records of a FASTA or FASTQ input; made by "
                                  "alphabet.read.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "alphabet._native.Reader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    reader_slots,
};

}  // namespace

bool AddReader(PyObject* module) {
  if (record_type == nullptr) {
    record_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&record_spec));
    if (record_type == nullptr) return false;
    PyObject* match_args = Py_BuildValue("(ssss)", "id", "description", "sequence", "quality");
    if (match_args == nullptr) return false;
    const int set = PyObject_SetAttrString(reinterpret_cast<PyObject*>(record_type),
                                           "__match_args__", match_args);
    Py_DECREF(match_args);
    if (set < 0) return false;
  }
  if (reader_type == nullptr) {
    reader_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&reader_spec));
    if (reader_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "Record", reinterpret_cast<PyObject*>(record_type)) == 0 &&
         PyModule_AddObjectRef(module, "Reader", reinterpret_cast<PyObject*>(reader_type)) == 0;
}

}  // namespace native
