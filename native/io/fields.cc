#include "native/io/fields.h"

#include <cstring>
#include <span>

#include "bindings/gil.h"
#include "formats/utf8.h"
#include "native/codec/codec.h"
#include "native/common/errors.h"
#include "native/common/ref.h"

namespace native {
namespace {

// Fields at least this long are copied or translated with the interpreter
// lock released.
constexpr size_t kLongField = size_t{1} << 20;
constexpr uint8_t kHighestQuality = '~';

// The line of byte `at` of a field, and the column (in characters, from 1)
// of the character there.
struct Where {
  long long line;
  Py_ssize_t column;
};

Where Locate(std::string_view field, std::span<const formats::LineRun> runs, size_t at) {
  const formats::FieldPlace place = formats::PlaceInField(runs, at);
  const size_t line_start = at - place.byte;
  const size_t column = formats::CountCharacters(field.substr(line_start, place.byte)) + 1;
  return {static_cast<long long>(place.line), static_cast<Py_ssize_t>(column)};
}

// The character that starts at byte `at` of valid UTF-8 `text`.
PyObject* CharacterAt(std::string_view text, size_t at) {
  size_t length = 1;
  while (at + length < text.size() &&
         (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80) {
    ++length;
  }
  return PyUnicode_DecodeUTF8(text.data() + at, static_cast<Py_ssize_t>(length), "replace");
}

}  // namespace

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

size_t PhredScores(std::string_view quality, uint8_t offset, uint8_t* out) {
  const auto* in = reinterpret_cast<const uint8_t*>(quality.data());
  const size_t n = quality.size();
  // One pass that the compiler vectorizes; the fault is looked for only
  // when there is one.
  const auto span = static_cast<uint8_t>(kHighestQuality - offset);
  uint8_t outside = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto score = static_cast<uint8_t>(in[i] - offset);
    out[i] = score;
    outside |= static_cast<uint8_t>(score > span);
  }
  if (outside == 0) return n;
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<uint8_t>(in[i] - offset) > span) return i;
  }
  return n;
}

void RaiseBadQuality(const formats::Record& record, size_t at, uint8_t offset) {
  const Ref id(Text(record.id, record.ascii));
  const Ref character(id ? CharacterAt(record.quality, at) : nullptr);
  if (!character) return;
  const Where where = Locate(record.quality, record.quality_lines, at);
  const bool below = static_cast<uint8_t>(record.quality[at]) < offset;
  const Ref message(PyUnicode_FromFormat(
      "line %lld: the quality of FASTQ record %R has %R at column %zd, %s the Phred+%d range",
      where.line, id.get(), character.get(), where.column, below ? "below" : "beyond",
      static_cast<int>(offset)));
  if (!message) return;
  Ref error(PyObject_CallFunction(FormatError(), "(OL)", message.get(), where.line));
  if (error) PyErr_SetObject(FormatError(), error.get());
}

PyObject* PhredQuality(const formats::Record& record, uint8_t offset) {
  Ref scores(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(record.quality.size())));
  if (!scores) return nullptr;
  auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(scores.get()));
  const size_t bad = PhredScores(record.quality, offset, out);
  if (bad < record.quality.size()) {
    RaiseBadQuality(record, bad, offset);
    return nullptr;
  }
  return scores.Take();
}

void PlaceAlphabetError(const formats::Record& record) {
  if (!PyErr_ExceptionMatches(AlphabetError())) return;
  Ref error(PyErr_GetRaisedException());
  const Ref at(PyObject_GetAttrString(error.get(), "position"));
  const Py_ssize_t position = at && PyLong_Check(at.get()) ? PyLong_AsSsize_t(at.get()) : -1;
  PyErr_Clear();
  const Ref id(Text(record.id, record.ascii));
  if (!id) return;
  long long line = record.line;
  Ref message;
  if (position >= 0) {
    const size_t byte =
        record.ascii ? static_cast<size_t>(position)
                     : formats::OffsetOfCharacter(record.sequence, static_cast<size_t>(position));
    const Where where = Locate(record.sequence, record.sequence_lines, byte);
    line = where.line;
    message.Reset(PyUnicode_FromFormat("record %R (line %lld, column %zd): %S", id.get(), line,
                                       where.column, error.get()));
  } else {
    message.Reset(PyUnicode_FromFormat("record %R (line %lld): %S", id.get(), line, error.get()));
  }
  if (message) RaiseAlphabetErrorIn(message.get(), position, id.get(), line);
}

void RaiseBadSymbol(const formats::Record& record, size_t at) {
  const Ref symbol(CharacterAt(record.sequence, at));
  if (!symbol) return;
  const Ref message(PyUnicode_FromFormat("Symbol %R not in alphabet at position %zd", symbol.get(),
                                         static_cast<Py_ssize_t>(at)));
  if (!message) return;
  RaiseAlphabetError(message.get(), static_cast<Py_ssize_t>(at));
  PlaceAlphabetError(record);
}

PyObject* Codes(const CodecTables& tables, const formats::Record& record) {
  PyObject* codes = nullptr;
  if (record.ascii) {
    codes = EncodeLatin1(tables, reinterpret_cast<const uint8_t*>(record.sequence.data()),
                         record.sequence.size());
  } else {
    const Ref text(Text(record.sequence, /*ascii=*/false));
    if (!text) return nullptr;
    codes = EncodeText(tables, text.get());
  }
  if (codes == nullptr) PlaceAlphabetError(record);
  return codes;
}

}  // namespace native
