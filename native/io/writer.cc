#include "native/io/writer.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "bindings/gil.h"
#include "native/codec/codec.h"
#include "native/common/busy.h"
#include "native/common/errors.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/items.h"
#include "native/common/methods.h"
#include "native/common/ref.h"
#include "native/io/record.h"

namespace native {
namespace {

constexpr Py_ssize_t kDefaultChunk = Py_ssize_t{1} << 20;
PyTypeObject* writer_type = nullptr;

enum class Format : uint8_t { kUnknown, kFasta, kFastq };

// ---- what a reader skips or takes for something else

// The characters of a line that the reader counts as blank.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool AllBlank(std::string_view line) { return std::all_of(line.begin(), line.end(), IsBlank); }
bool HasLineBreak(std::string_view text) {
  return !text.empty() && std::memchr(text.data(), '\n', text.size()) != nullptr;
}

// The reader takes one '\r' before a line's '\n' as part of the line end: a
// line whose own last character is '\r' gets "\r\n", so that it keeps it.
std::string_view LineEnd(std::string_view line) {
  return !line.empty() && line.back() == '\r' ? "\r\n" : "\n";
}

// The byte offset `chars` characters on from `at` in UTF-8 `text`.
size_t AdvanceChars(std::string_view text, size_t at, size_t chars) {
  for (; at < text.size() && chars > 0; --chars) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  }
  return at;
}

// Whether every line of `width` characters (ASCII text: bytes) of `text`
// reads back as a sequence line: none starts with '>' or holds only blanks.
bool WrapsSafely(std::string_view text, size_t width, bool ascii) {
  for (size_t at = 0; at < text.size();) {
    const size_t end = ascii ? std::min(text.size(), at + width) : AdvanceChars(text, at, width);
    const std::string_view line = text.substr(at, end - at);
    if (line.front() == '>' || AllBlank(line)) return false;
    at = end;
  }
  return true;
}

// ---- one record, checked

// One field as UTF-8 bytes, valid while what the record keeps (or the
// writer's scratch text, for decoded codes) is.
struct Field {
  // Never null, so that the C library's calls may take it even when empty.
  std::string_view bytes = "";
  size_t chars = 0;
  bool ascii = true;
};

// A record checked and ready to be written.  It keeps what its fields' bytes
// lie in (the record, or the values its attributes gave) until it has been
// written: a sink's Python code may drop the last other reference.
class Planned {
 public:
  Planned() = default;
  ~Planned() {
    // One look at the interpreter for all (see HoldsInterpreter).
    if (kept_ == 0 || !HoldsInterpreter()) return;
    for (int i = 0; i < kept_; ++i) Py_DECREF(keep_[i]);
  }
  Planned(const Planned&) = delete;
  Planned& operator=(const Planned&) = delete;

  // Takes over a new reference.
  void Keep(PyObject* object) { keep_[kept_++] = object; }

  Field id, description, sequence, quality;
  bool has_quality = false;
  Format format = Format::kUnknown;
  bool one_line = false;  // FASTA: the sequence on one line whatever the width

 private:
  PyObject* keep_[4];
  int kept_ = 0;
};

struct WriterObject;

// The bytes chunks are made in and where they go: a file descriptor, or a
// callable given each chunk as a new bytes object.
class Output {
 public:
  Output(PyObject* sink, int fd, size_t capacity) : sink_(sink), fd_(fd), capacity_(capacity) {}
  ~Output() {
    if (HoldsInterpreter()) Py_XDECREF(chunk_);
    delete[] buffer_;
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  size_t capacity() const { return capacity_; }
  size_t room() const { return capacity_ - used_; }
  char* cursor() const { return data_ + used_; }
  void Advance(size_t bytes) { used_ += bytes; }

  // Room for `bytes` more (for up to a whole chunk when more is asked):
  // hands the chunk on first when it has less.  False with the exception set.
  bool MakeRoom(size_t bytes) {
    if (data_ != nullptr && room() >= std::min(bytes, capacity_)) return true;
    if (data_ != nullptr && used_ > 0 && !Flush()) return false;
    return Ready();
  }

  // Writes `bytes`, over as many chunks as it takes.
  bool Append(std::string_view bytes) {
    while (!bytes.empty()) {
      if (!MakeRoom(bytes.size())) return false;
      const size_t piece = std::min(bytes.size(), room());
      char* to = cursor();
      Unlocked(piece, [&] { std::memcpy(to, bytes.data(), piece); });
      used_ += piece;
      bytes.remove_prefix(piece);
    }
    return true;
  }

  // Hands on what the chunk holds.
  bool Flush() { return used_ == 0 || (fd_ >= 0 ? WriteOut() : CallSink()); }

 private:
  bool Ready() {
    if (data_ != nullptr) return true;
    if (fd_ >= 0) {
      if (buffer_ == nullptr) buffer_ = new (std::nothrow) char[capacity_];
      if (buffer_ == nullptr) {
        PyErr_NoMemory();
        return false;
      }
      data_ = buffer_;
      return true;
    }
    chunk_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity_));
    if (chunk_ == nullptr) return false;
    data_ = PyBytes_AS_STRING(chunk_);
    return true;
  }

  bool WriteOut() {
    const char* data = data_;
    size_t left = used_;
    used_ = 0;
    while (left > 0) {
      ssize_t written;
      int error = 0;
      {
        bindings::GilRelease unlocked;
        written = ::write(fd_, data, left);
        if (written < 0) error = errno;
      }
      if (written < 0) {
        if (error == EINTR && PyErr_CheckSignals() == 0) continue;
        if (error != EINTR) {
          errno = error;
          PyErr_SetFromErrno(PyExc_OSError);
        }
        return false;
      }
      data += written;
      left -= static_cast<size_t>(written);
    }
    return true;
  }

  bool CallSink() {
    // The bytes shrink to what they hold, in place, and are given away.
    PyObject* chunk = chunk_;
    chunk_ = nullptr;
    data_ = nullptr;
    const auto size = static_cast<Py_ssize_t>(used_);
    used_ = 0;
    if (_PyBytes_Resize(&chunk, size) < 0) return false;
    const Ref result(PyObject_CallOneArg(sink_, chunk));
    Py_DECREF(chunk);
    return static_cast<bool>(result);
  }

  PyObject* sink_;  // held by the writer
  int fd_;
  size_t capacity_;
  PyObject* chunk_ = nullptr;  // without fd: the bytes being filled
  char* buffer_ = nullptr;     // with fd: the one buffer, reused
  char* data_ = nullptr;       // the chunk being filled, null before it is made
  size_t used_ = 0;
};

struct WriterObject {
  PyObject_HEAD PyObject* sink;
  PyObject* codec;            // the alphabet's Codec, or null
  const CodecTables* tables;  // valid while `codec` is held
  Output* output;             // null once closed
  std::string* decoded;       // two scratch texts of decoded codes, one per record of a pair
  Py_ssize_t line_width;
  long long count;
  Format format;
  bool busy;
};

WriterObject* AsWriter(PyObject* self) { return reinterpret_cast<WriterObject*>(self); }

// False with ValueError when the writer cannot be used now.
bool Usable(WriterObject* writer) {
  if (!NotBusy(writer->busy, "writer")) return false;
  if (writer->output != nullptr) return true;
  PyErr_SetString(PyExc_ValueError, "write to a closed writer");
  return false;
}

// "record N ('id')" for messages: the record's number in the output and its id.
PyObject* RecordName(long long number, PyObject* id) {
  if (id == nullptr || !PyUnicode_Check(id)) return PyUnicode_FromFormat("record %lld", number);
  const Ref shown(ReprForMessage(id));
  if (!shown) return nullptr;
  return PyUnicode_FromFormat("record %lld (%U)", number, shown.get());
}

// Raises `type`("record N ('id'): <what>").
void RaiseForRecord(PyObject* type, long long number, PyObject* id, const char* what, ...) {
  const Ref name(RecordName(number, id));
  if (!name) return;
  va_list args;
  va_start(args, what);
  const Ref detail(PyUnicode_FromFormatV(what, args));
  va_end(args);
  if (!detail) return;
  PyErr_Format(type, "%U: %U", name.get(), detail.get());
}

// The pending TypeError, ValueError or AlphabetError, raised again with the
// record named first; any other exception (an interrupt, no memory) is left
// as it is.
void NameRecordInError(long long number, PyObject* id) {
  PyObject* const types[] = {AlphabetError(), PyExc_TypeError, PyExc_ValueError};
  PyObject* type = nullptr;
  for (PyObject* candidate : types) {
    if (PyErr_ExceptionMatches(candidate)) {
      type = candidate;
      break;
    }
  }
  if (type == nullptr) return;
  const Ref error(PyErr_GetRaisedException());
  const Ref name(RecordName(number, id));
  const Ref message(name ? PyUnicode_FromFormat("%U: %S", name.get(), error.get()) : nullptr);
  if (!message) return;
  if (type == AlphabetError()) {
    Py_ssize_t position = -1;
    const Ref at(PyObject_GetAttrString(error.get(), "position"));
    if (at && PyLong_Check(at.get())) position = PyLong_AsSsize_t(at.get());
    PyErr_Clear();
    RaiseAlphabetError(message.get(), position);
  } else {
    PyErr_SetObject(type, message.get());
  }
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyException_SetCause(raised, Py_NewRef(error.get()));
  PyErr_SetRaisedException(raised);
}

// A str field as UTF-8; false with the exception set.
bool TextField(PyObject* text, Field& field) {
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  field.chars = length;
  if (PyUnicode_IS_COMPACT_ASCII(text)) {
    // Nearly every field: its characters are its UTF-8.
    field.bytes = {static_cast<const char*>(PyUnicode_DATA(text)), length};
    field.ascii = true;
    return true;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return false;
  field.bytes = {utf8, static_cast<size_t>(size)};
  field.ascii = static_cast<size_t>(size) == length;
  return true;
}

// An attribute of `record`, or null with no exception when it has none.
Ref OptionalAttribute(PyObject* record, PyObject* name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(record, name, &value) < 0) return Ref();
  return Ref(value != nullptr ? value : Py_NewRef(Py_None));
}

// The four fields of `record`, borrowed from what `planned` keeps
// (description and quality None when it has none); false with the
// exception set.
bool FieldsOf(PyObject* record, PyObject* fields[4], Planned& planned, long long number) {
  BorrowedFields found;
  if (FieldsOfRecord(record, found)) {
    planned.Keep(Py_NewRef(record));
    fields[0] = found.id;
    fields[1] = found.description;
    fields[2] = found.sequence;
    fields[3] = found.quality;
    return true;
  }
  if (PyTuple_Check(record)) {
    const Py_ssize_t size = PyTuple_GET_SIZE(record);
    if (size != 2 && size != 3) {
      RaiseForRecord(PyExc_TypeError, number, nullptr,
                     "a record tuple is (id, sequence) or (id, sequence, quality), not %zd items",
                     size);
      return false;
    }
    planned.Keep(Py_NewRef(record));
    fields[0] = PyTuple_GET_ITEM(record, 0);
    fields[1] = Py_None;
    fields[2] = PyTuple_GET_ITEM(record, 1);
    fields[3] = size == 3 ? PyTuple_GET_ITEM(record, 2) : Py_None;
    return true;
  }
  static PyObject* names[4] = {
      PyUnicode_InternFromString("id"), PyUnicode_InternFromString("description"),
      PyUnicode_InternFromString("sequence"), PyUnicode_InternFromString("quality")};
  for (int i = 0; i < 4; ++i) {
    if (names[i] == nullptr) return false;
    Ref value = OptionalAttribute(record, names[i]);
    if (!value) return false;
    fields[i] = value.get();
    planned.Keep(value.Take());
  }
  if (fields[0] == Py_None || fields[2] == Py_None) {
    RaiseForRecord(PyExc_TypeError, number, nullptr,
                   "a record is a Record, an (id, sequence[, quality]) tuple or an object with "
                   "id and sequence attributes, not %.200s",
                   Py_TYPE(record)->tp_name);
    return false;
  }
  return true;
}

// Reads the record's fields into `planned` and checks that the format can
// hold them; false with the exception set (naming the record).  `format` is
// the output's format, kUnknown before its first record.
bool Plan(WriterObject* writer, PyObject* record, long long number, Format format,
          std::string& scratch, Planned& planned) {
  PyObject* fields[4];
  if (!FieldsOf(record, fields, planned, number)) return false;
  PyObject* id = fields[0];
  if (!PyUnicode_Check(id)) {
    RaiseForRecord(PyExc_TypeError, number, nullptr, "its id must be a str, not %.200s",
                   Py_TYPE(id)->tp_name);
    return false;
  }
  PyObject* description = fields[1];
  PyObject* sequence = fields[2];
  PyObject* quality = fields[3];
  if (description != Py_None && !PyUnicode_Check(description)) {
    RaiseForRecord(PyExc_TypeError, number, id, "its description must be a str, not %.200s",
                   Py_TYPE(description)->tp_name);
    return false;
  }
  if (quality != Py_None && !PyUnicode_Check(quality)) {
    RaiseForRecord(PyExc_TypeError, number, id, "its quality must be a str or None, not %.200s",
                   Py_TYPE(quality)->tp_name);
    return false;
  }
  bool read =
      TextField(id, planned.id) &&
      (description == Py_None || TextField(description, planned.description)) &&
      (quality == Py_None || format == Format::kFasta || TextField(quality, planned.quality));
  if (read && PyUnicode_Check(sequence)) {
    read = TextField(sequence, planned.sequence);
  } else if (read && writer->tables != nullptr) {
    size_t chars = 0;
    read = DecodeUtf8(*writer->tables, sequence, scratch, chars);
    planned.sequence.bytes = scratch;
    planned.sequence.chars = chars;
    planned.sequence.ascii = chars == scratch.size();
  } else if (read) {
    RaiseForRecord(PyExc_TypeError, number, id,
                   "its sequence is %.200s, not a str: codes need the alphabet that spells "
                   "them (alphabet=...)",
                   Py_TYPE(sequence)->tp_name);
    return false;
  }
  if (!read) {
    NameRecordInError(number, id);
    return false;
  }
  planned.has_quality = quality != Py_None;
  if (format == Format::kUnknown) format = planned.has_quality ? Format::kFastq : Format::kFasta;
  planned.format = format;

  // A FASTA record's quality is not written, so nothing is asked of it.
  const Field* lines[] = {&planned.id, &planned.description, &planned.sequence, &planned.quality};
  const char* names[] = {"id", "description", "sequence", "quality"};
  for (int i = 0; i < (format == Format::kFastq ? 4 : 3); ++i) {
    if (HasLineBreak(lines[i]->bytes)) {
      RaiseForRecord(PyExc_ValueError, number, id, "its %s holds a line break", names[i]);
      return false;
    }
  }
  const std::string_view bases = planned.sequence.bytes;
  if (!bases.empty() && AllBlank(bases)) {
    RaiseForRecord(PyExc_ValueError, number, id,
                   "its sequence holds only blanks, which a reader skips");
    return false;
  }
  if (format == Format::kFasta) {
    if (!bases.empty() && bases.front() == '>') {
      RaiseForRecord(PyExc_ValueError, number, id,
                     "its sequence starts with '>', which would read as a header");
      return false;
    }
    const auto width = static_cast<size_t>(writer->line_width);
    planned.one_line = width == 0 || planned.sequence.chars <= width ||
                       !WrapsSafely(bases, width, planned.sequence.ascii);
    return true;
  }
  if (!planned.has_quality) {
    RaiseForRecord(PyExc_ValueError, number, id, "FASTQ needs a quality, and it has none");
    return false;
  }
  if (planned.quality.chars != planned.sequence.chars) {
    RaiseForRecord(PyExc_ValueError, number, id, "its quality has %zu characters, its sequence %zu",
                   planned.quality.chars, planned.sequence.chars);
    return false;
  }
  if (!bases.empty() && (bases.front() == '@' || bases.front() == '+')) {
    RaiseForRecord(PyExc_ValueError, number, id,
                   "a FASTQ sequence cannot start with '%c', which would read as a '%s' line",
                   bases.front(), bases.front() == '@' ? "header" : "+");
    return false;
  }
  if (!planned.quality.bytes.empty() && AllBlank(planned.quality.bytes)) {
    RaiseForRecord(PyExc_ValueError, number, id,
                   "its quality holds only blanks, which a reader skips");
    return false;
  }
  return true;
}

// ---- formatting

// The header line's bytes (without its line end) as up to three pieces.
char* PutHeader(char* at, char mark, const Planned& record) {
  *at++ = mark;
  std::memcpy(at, record.id.bytes.data(), record.id.bytes.size());
  at += record.id.bytes.size();
  if (!record.description.bytes.empty()) {
    *at++ = ' ';
    std::memcpy(at, record.description.bytes.data(), record.description.bytes.size());
    at += record.description.bytes.size();
  }
  return at;
}

// The header's last character, which decides its line end.
std::string_view HeaderEnd(const Planned& record) {
  if (!record.description.bytes.empty()) return LineEnd(record.description.bytes);
  return LineEnd(record.id.bytes);
}

char* PutLine(char* at, std::string_view line) {
  std::memcpy(at, line.data(), line.size());
  at += line.size();
  const std::string_view end = LineEnd(line);
  std::memcpy(at, end.data(), end.size());
  return at + end.size();
}

size_t HeaderSize(const Planned& record) {
  const size_t description = record.description.bytes.size();
  return 1 + record.id.bytes.size() + (description > 0 ? 1 + description : 0) +
         HeaderEnd(record).size();
}

// `text` as one line, over as many chunks as it takes.
bool AppendLine(Output& out, std::string_view text) {
  return out.Append(text) && out.Append(LineEnd(text));
}

// A FASTA sequence of ASCII text without '\r' in lines of `width`: as many
// whole lines as fit into each chunk, copied with the interpreter lock
// released when they are many.
bool AppendFixedLines(Output& out, std::string_view text, size_t width) {
  while (!text.empty()) {
    if (!out.MakeRoom(width + 1)) return false;
    const size_t fit = out.room() / (width + 1);
    if (fit == 0) {
      // A line longer than a chunk: in pieces.
      const size_t line = std::min(width, text.size());
      if (!AppendLine(out, text.substr(0, line))) return false;
      text.remove_prefix(line);
      continue;
    }
    const size_t lines = std::min(fit, (text.size() + width - 1) / width);
    const size_t taken = std::min(text.size(), lines * width);
    char* to = out.cursor();
    Unlocked(taken, [&] {
      for (size_t at = 0; at < taken; at += width) {
        const size_t line = std::min(width, taken - at);
        std::memcpy(to, text.data() + at, line);
        to[line] = '\n';
        to += line + 1;
      }
    });
    out.Advance(taken + lines);
    text.remove_prefix(taken);
  }
  return true;
}

bool AppendSequenceLines(Output& out, const Planned& record, size_t width) {
  const std::string_view text = record.sequence.bytes;
  if (text.empty()) return true;
  if (record.one_line) return AppendLine(out, text);
  if (record.sequence.ascii && std::memchr(text.data(), '\r', text.size()) == nullptr) {
    return AppendFixedLines(out, text, width);
  }
  for (size_t at = 0; at < text.size();) {
    const size_t end = AdvanceChars(text, at, width);
    if (!AppendLine(out, text.substr(at, end - at))) return false;
    at = end;
  }
  return true;
}

bool WriteFasta(Output& out, const Planned& record, size_t width) {
  const size_t header = HeaderSize(record);
  if (header <= out.capacity()) {
    if (!out.MakeRoom(header)) return false;
    char* at = PutHeader(out.cursor(), '>', record);
    const std::string_view end = HeaderEnd(record);
    std::memcpy(at, end.data(), end.size());
    out.Advance(header);
  } else {
    if (!out.Append(">") || !out.Append(record.id.bytes)) return false;
    if (!record.description.bytes.empty() &&
        !(out.Append(" ") && out.Append(record.description.bytes))) {
      return false;
    }
    if (!out.Append(HeaderEnd(record))) return false;
  }
  return AppendSequenceLines(out, record, width);
}

bool WriteFastq(Output& out, const Planned& record) {
  const std::string_view bases = record.sequence.bytes;
  const std::string_view quality = record.quality.bytes;
  const size_t size = HeaderSize(record) + bases.size() + LineEnd(bases).size() + 2 +
                      quality.size() + LineEnd(quality).size();
  if (size <= out.capacity()) {
    // Nearly every record: straight into the chunk.
    if (!out.MakeRoom(size)) return false;
    char* at = PutHeader(out.cursor(), '@', record);
    const std::string_view end = HeaderEnd(record);
    std::memcpy(at, end.data(), end.size());
    at = PutLine(at + end.size(), bases);
    *at++ = '+';
    *at++ = '\n';
    PutLine(at, quality);
    out.Advance(size);
    return true;
  }
  return out.Append("@") && out.Append(record.id.bytes) &&
         (record.description.bytes.empty() ||
          (out.Append(" ") && out.Append(record.description.bytes))) &&
         out.Append(HeaderEnd(record)) && AppendLine(out, bases) && out.Append("+\n") &&
         AppendLine(out, quality);
}

bool Emit(WriterObject* writer, const Planned& record) {
  writer->format = record.format;
  Output& out = *writer->output;
  const bool written = record.format == Format::kFastq
                           ? WriteFastq(out, record)
                           : WriteFasta(out, record, static_cast<size_t>(writer->line_width));
  if (written) ++writer->count;
  return written;
}

// ---- the writer's calls

// Records between two looks for pending signals (Ctrl-C) in a long loop;
// a record is never left half written for one.
constexpr long long kSignalsEvery = 4096;
// How many records ahead a walk over a list asks for a record's fields: far
// enough for memory to answer, near enough that the list's own prefetch
// (kPrefetchAhead) has brought the record.
constexpr Py_ssize_t kFieldsAhead = kPrefetchAhead / 2;

// A failure while writing leaves the output broken (a chunk lost, a record
// cut): the writer ends.
bool Failed(WriterObject* writer) {
  delete writer->output;
  writer->output = nullptr;
  return false;
}

bool WriteOne(WriterObject* writer, PyObject* record) {
  Planned planned;
  if (!Plan(writer, record, writer->count + 1, writer->format, writer->decoded[0], planned)) {
    return false;
  }
  return Emit(writer, planned) || Failed(writer);
}

PyObject* WriterWrite(PyObject* self, PyObject* record) {
  WriterObject* writer = AsWriter(self);
  if (!Usable(writer)) return nullptr;
  BusyScope busy(writer->busy);
  return Guarded([&]() -> PyObject* {
    if (!WriteOne(writer, record)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* WriterWriteAll(PyObject* self, PyObject* records) {
  WriterObject* writer = AsWriter(self);
  if (!Usable(writer)) return nullptr;
  BusyScope busy(writer->busy);
  return Guarded([&]() -> PyObject* {
    const long long before = writer->count;
    const bool listed = PyList_CheckExact(records) != 0;
    // The list's items are asked for ahead by the walk; their fields,
    // once the item is there, a few records later.
    if (!ForEachItem</*kPrefetch=*/true>(records, [&](PyObject* record, Py_ssize_t position) {
          if (listed && position + kFieldsAhead < PyList_GET_SIZE(records)) {
            PrefetchRecordFields(PyList_GET_ITEM(records, position + kFieldsAhead));
          }
          if (position % kSignalsEvery == kSignalsEvery - 1 && PyErr_CheckSignals() < 0) {
            return false;
          }
          return WriteOne(writer, record);
        })) {
      return nullptr;
    }
    return PyLong_FromLongLong(writer->count - before);
  });
}

// The two records of one pair, borrowed from `pair` (a tuple or list of two).
bool MatesOf(PyObject* pair, PyObject*& first, PyObject*& second, long long number) {
  if ((!PyTuple_Check(pair) && !PyList_Check(pair)) || PySequence_Fast_GET_SIZE(pair) != 2) {
    PyErr_Format(PyExc_TypeError, "pair %lld: a pair is a tuple of two records, not %.200s", number,
                 Py_TYPE(pair)->tp_name);
    return false;
  }
  first = PySequence_Fast_GET_ITEM(pair, 0);
  second = PySequence_Fast_GET_ITEM(pair, 1);
  return true;
}

// Each pair's records go to `writer` and `mate` (or both to `writer`, one
// after the other); both are checked before either is written, so that the
// outputs never get out of step.
PyObject* WriterWritePairs(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"pairs", "mate", nullptr};
  PyObject* pairs;
  PyObject* mate_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:write_pairs", const_cast<char**>(keywords),
                                   &pairs, &mate_object)) {
    return nullptr;
  }
  WriterObject* writer = AsWriter(self);
  WriterObject* mate = writer;
  if (mate_object != Py_None) {
    if (!PyObject_TypeCheck(mate_object, writer_type) || mate_object == self) {
      PyErr_SetString(PyExc_TypeError, "mate must be another Writer or None");
      return nullptr;
    }
    mate = AsWriter(mate_object);
    if (!Usable(mate)) return nullptr;
  }
  if (!Usable(writer)) return nullptr;
  const Ref held_mate = Ref::Of(mate_object);
  BusyScope busy(writer->busy);
  std::optional<BusyScope> mate_busy;
  if (mate != writer) mate_busy.emplace(mate->busy);
  return Guarded([&]() -> PyObject* {
    long long pairs_written = 0;
    auto write_pair = [&](PyObject* pair, Py_ssize_t position) -> bool {
      if (position % kSignalsEvery == kSignalsEvery - 1 && PyErr_CheckSignals() < 0) {
        return false;
      }
      const Ref held = Ref::Of(pair);
      PyObject *first, *second;
      if (!MatesOf(pair, first, second, pairs_written + 1)) return false;
      const Ref held_first = Ref::Of(first), held_second = Ref::Of(second);
      Planned one, two;
      if (!Plan(writer, first, writer->count + 1, writer->format, writer->decoded[0], one)) {
        return false;
      }
      const Format second_format = mate == writer ? one.format : mate->format;
      const long long second_number = mate == writer ? writer->count + 2 : mate->count + 1;
      if (!Plan(mate, second, second_number, second_format, mate->decoded[1], two)) return false;
      if (!Emit(writer, one)) return Failed(writer);
      if (!Emit(mate, two)) return Failed(mate);
      ++pairs_written;
      return true;
    };
    if (!ForEachItem(pairs, write_pair)) return nullptr;
    return PyLong_FromLongLong(pairs_written);
  });
}

PyObject* WriterFlush(PyObject* self, PyObject*) {
  WriterObject* writer = AsWriter(self);
  if (!Usable(writer)) return nullptr;
  BusyScope busy(writer->busy);
  if (!writer->output->Flush()) {
    Failed(writer);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Hands on what is left and ends the writer; the sink is let go of.
bool Close(WriterObject* writer) {
  Output* output = writer->output;
  if (output == nullptr) return true;
  const bool flushed = output->Flush();
  delete output;
  writer->output = nullptr;
  return flushed;
}

PyObject* WriterClose(PyObject* self, PyObject*) {
  WriterObject* writer = AsWriter(self);
  if (!NotBusy(writer->busy, "writer")) return nullptr;
  BusyScope busy(writer->busy);
  if (!Close(writer)) return nullptr;
  Py_RETURN_NONE;
}

int WriterInit(WriterObject* writer, PyObject* sink, int fd, PyObject* format_name,
               Py_ssize_t line_width, PyObject* codec, Py_ssize_t chunk_size) {
  if (chunk_size < 1) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be at least 1");
    return -1;
  }
  if (line_width < 0) {
    PyErr_Format(PyExc_ValueError, "line_width must be 0 (one line) or more, not %zd", line_width);
    return -1;
  }
  if (fd < 0 && !PyCallable_Check(sink)) {
    PyErr_SetString(PyExc_TypeError, "sink must be callable when no fd is given");
    return -1;
  }
  if (format_name != Py_None) {
    if (PyUnicode_Check(format_name) &&
        PyUnicode_CompareWithASCIIString(format_name, "fasta") == 0) {
      writer->format = Format::kFasta;
    } else if (PyUnicode_Check(format_name) &&
               PyUnicode_CompareWithASCIIString(format_name, "fastq") == 0) {
      writer->format = Format::kFastq;
    } else {
      PyErr_Format(PyExc_ValueError, "format must be 'fasta', 'fastq' or None, not %R",
                   format_name);
      return -1;
    }
  }
  if (codec != Py_None) {
    const CodecTables* tables = TablesOfCodec(codec);
    if (tables == nullptr) return -1;
    if (!tables->one_char) {
      PyErr_SetString(PyExc_TypeError, "writing codes needs an alphabet of one-character symbols");
      return -1;
    }
    writer->codec = Py_NewRef(codec);
    writer->tables = tables;
  }
  writer->line_width = line_width;
  writer->sink = Py_NewRef(sink);
  writer->decoded = new (std::nothrow) std::string[2];
  writer->output = new (std::nothrow) Output(sink, fd, static_cast<size_t>(chunk_size));
  if (writer->decoded == nullptr || writer->output == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

PyObject* WriterNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"",      "fd",         "format", "line_width",
                                   "codec", "chunk_size", nullptr};
  PyObject *sink, *format_name = Py_None, *codec = Py_None;
  int fd = -1;
  Py_ssize_t line_width = 60, chunk_size = kDefaultChunk;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$iOnOn:Writer", const_cast<char**>(keywords),
                                   &sink, &fd, &format_name, &line_width, &codec, &chunk_size)) {
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  if (WriterInit(AsWriter(self), sink, fd, format_name, line_width, codec, chunk_size) < 0) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

int WriterTraverse(PyObject* self, visitproc visit, void* arg) {
  WriterObject* writer = AsWriter(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(writer->sink);
  Py_VISIT(writer->codec);
  return 0;
}

int WriterClear(PyObject* self) {
  WriterObject* writer = AsWriter(self);
  // What still reaches a writer whose cycle is being broken finds it closed.
  delete writer->output;
  writer->output = nullptr;
  Py_CLEAR(writer->sink);
  Py_CLEAR(writer->codec);
  writer->tables = nullptr;
  return 0;
}

// A writer dropped without close() still hands on what it holds.
void WriterFinalize(PyObject* self) {
  WriterObject* writer = AsWriter(self);
  if (writer->output == nullptr || writer->busy) return;
  PyObject* pending = PyErr_GetRaisedException();
  if (!Close(writer)) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(pending);
}

void WriterDealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  WriterClear(self);
  delete[] AsWriter(self)->decoded;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* WriterFormat(PyObject* self, void*) {
  switch (AsWriter(self)->format) {
    case Format::kFasta: return PyUnicode_FromString("fasta");
    case Format::kFastq: return PyUnicode_FromString("fastq");
    case Format::kUnknown: break;
  }
  Py_RETURN_NONE;
}

PyObject* WriterCount(PyObject* self, void*) { return PyLong_FromLongLong(AsWriter(self)->count); }

PyObject* WriterClosed(PyObject* self, void*) {
  return PyBool_FromLong(AsWriter(self)->output == nullptr);
}

PyMethodDef writer_methods[] = {
    {"write", WriterWrite, METH_O,
     "write($self, record, /)\n--\n\nWrites one record (checked first, see the class)."},
    {"write_all", WriterWriteAll, METH_O,
     "write_all($self, records, /)\n--\n\n"
     "Writes every record of an iterable; returns how many were written."},
    {"write_pairs", AsMethod(&WriterWritePairs), METH_VARARGS | METH_KEYWORDS,
     "write_pairs($self, /, pairs, mate=None)\n--\n\n"
     "Writes (record1, record2) pairs: record2 to mate, or to this writer\n"
     "right after record1 when mate is None.  Both records are checked\n"
     "before either is written.  Returns how many pairs were written."},
    {"flush", WriterFlush, METH_NOARGS, "flush($self, /)\n--\n\nHands on the chunk being filled."},
    {"close", WriterClose, METH_NOARGS,
     "close($self, /)\n--\n\nHands on what is left; the writer takes no more records."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"format", WriterFormat, nullptr,
     "'fasta' or 'fastq' once given or told by the first record; None before.", nullptr},
    {"count", WriterCount, nullptr, "Records written so far.", nullptr},
    {"closed", WriterClosed, nullptr, "True once close() was called or the output failed.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, AsSlot(&WriterNew)},
    {Py_tp_dealloc, AsSlot(&WriterDealloc)},
    {Py_tp_finalize, AsSlot(&WriterFinalize)},
    {Py_tp_traverse, AsSlot(&WriterTraverse)},
    {Py_tp_clear, AsSlot(&WriterClear)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {Py_tp_doc,
     const_cast<char*>("Writer(sink, /, *, fd=-1, format=None, line_width=60, codec=None, "
                       "chunk_size=1048576)\n--\n\n"
                       "Formats FASTA or FASTQ records into chunks for a file descriptor or a\n"
                       "callable; made by alphabet.Writer.")},
    {0, nullptr},
};

}  // namespace

bool AddWriter(PyObject* module) {
  return AddType(module, "Writer",
                 {.name = "alphabet._native.Writer",
                  .basicsize = sizeof(WriterObject),
                  .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                  .slots = writer_slots},
                 writer_type);
}

}  // namespace native
