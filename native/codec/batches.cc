#include "native/codec/batches.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>

#include "native/codec/codec.h"
#include "native/codec/text_runs.h"
#include "native/common/arrays.h"
#include "native/common/errors.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/item_format.h"
#include "native/common/items.h"
#include "native/common/methods.h"

namespace native {

void NameSequence(Py_ssize_t index) {
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised));
  const bool alphabet = type == AlphabetError();
  if (!alphabet && type != PyExc_TypeError && type != PyExc_ValueError) {
    PyErr_SetRaisedException(raised);
    return;
  }
  const Ref named(PyUnicode_FromFormat("sequence %zd: %S", index, raised));
  if (!named) {
    Py_DECREF(raised);
    return;
  }
  if (alphabet) {
    const Ref position(PyObject_GetAttrString(raised, "position"));
    const Py_ssize_t at =
        position && PyLong_Check(position.get()) ? PyLong_AsSsize_t(position.get()) : -1;
    PyErr_Clear();
    RaiseAlphabetError(named.get(), at);
  } else {
    PyErr_SetObject(type, named.get());
  }
  Py_DECREF(raised);
}

// ---- reading the sequences

bool BatchRows::AddEncoded(PyObject* codes) {
  held_.push_back(Ref::Of(codes));
  CodeSource& source = sources_.emplace_back();
  if (!source.OpenBuffer(codes)) return false;
  rows_.push_back({Kind::kCodes, source.type(), source.data(), source.size(), nullptr});
  return true;
}

bool BatchRows::AddItem(PyObject* item, Py_ssize_t index, bool nested) {
  if (PyUnicode_Check(item)) {
    const int kind = PyUnicode_KIND(item);
    // Tokens give fewer codes than characters, and with ignore_case a
    // character beyond U+00FF may need str.lower: such texts are coded now.
    if (tables_.tokens() || (tables_.ignore_case && kind != PyUnicode_1BYTE_KIND)) {
      const Ref codes(EncodeText(tables_, item));
      if (!codes) {
        NameSequence(index);
        return false;
      }
      return AddEncoded(codes.get());
    }
    const Kind row_kind = kind == PyUnicode_1BYTE_KIND   ? Kind::kText1
                          : kind == PyUnicode_2BYTE_KIND ? Kind::kText2
                                                         : Kind::kText4;
    rows_.push_back({row_kind, CodeType::kU8, PyUnicode_DATA(item),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(item)), item});
    return true;
  }
  if (CodeSource::IsBuffer(item)) {
    CodeSource& source = sources_.emplace_back();
    if (!source.OpenBuffer(item)) {
      NameSequence(index);
      return false;
    }
    rows_.push_back({Kind::kCodes, source.type(), source.data(), source.size(), nullptr});
    return true;
  }
  if (!nested && !PyList_Check(item) && !PyTuple_Check(item)) {
    PyObject* sequence = nullptr;
    if (PyObject_GetOptionalAttrString(item, "sequence", &sequence) < 0) return false;
    if (sequence != nullptr) {
      held_.emplace_back(sequence);
      return AddItem(sequence, index, /*nested=*/true);
    }
  }
  CodeSource& source = sources_.emplace_back();
  if (!source.Gather(item, uint64_t{tables_.size}, "not in alphabet")) {
    NameSequence(index);
    return false;
  }
  rows_.push_back({Kind::kCodes, source.type(), source.data(), source.size(), nullptr});
  return true;
}

bool BatchRows::ReadItems(PyObject* sequences) {
  if (PyUnicode_Check(sequences) || CodeSource::IsBuffer(sequences)) {
    PyErr_Format(PyExc_TypeError,
                 "a batch is an iterable of sequences (str, codes or records), not one %.200s",
                 Py_TYPE(sequences)->tp_name);
    return false;
  }
  // A tuple of its own holds every item while the rows are filled without
  // the lock: a list could drop them meanwhile.
  PyObject* items = PySequence_Tuple(sequences);
  if (items == nullptr) return false;
  held_.emplace_back(items);
  const Py_ssize_t count = PyTuple_GET_SIZE(items);
  rows_.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!AddItem(PyTuple_GET_ITEM(items, i), i, /*nested=*/false)) return false;
  }
  return true;
}

bool BatchRows::ReadFlat(PyObject* flat, PyObject* offsets_object, bool text) {
  CodeSource offsets;
  if (CodeSource::IsBuffer(offsets_object)
          ? !offsets.OpenBuffer(offsets_object)
          : !offsets.Gather(offsets_object, std::nullopt, "is not an offset")) {
    return false;
  }
  // The rows point into the flat buffer: its export stays pinned.
  PinnedBuffer& text_bytes = texts_.emplace_back();
  CodeSource& codes = sources_.emplace_back();
  if (text ? !PinTextBytes(flat, text_bytes) : !codes.OpenBuffer(flat)) return false;
  const size_t size = text ? text_bytes.items() : codes.size();
  const size_t n = offsets.size();
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "offsets hold n + 1 starts, not none");
    return false;
  }
  std::vector<uint64_t> starts(n);
  const size_t bad = VisitCodes(offsets, [&](const auto* in) {
    for (size_t i = 0; i < n; ++i) {
      const auto start = in[i];
      if constexpr (std::is_signed_v<std::remove_cv_t<std::remove_reference_t<decltype(start)>>>) {
        if (start < 0) return i;
      }
      starts[i] = static_cast<uint64_t>(start);
      if (starts[i] > size || (i > 0 && starts[i] < starts[i - 1])) return i;
    }
    return n;
  });
  if (bad < n) {
    PyErr_Format(PyExc_ValueError,
                 "offsets[%zu] is out of order or outside the %zu items of the sequences", bad,
                 size);
    return false;
  }
  rows_.reserve(n - 1);
  for (size_t i = 0; i + 1 < n; ++i) {
    const size_t count = starts[i + 1] - starts[i];
    if (!text) {
      const CodeSpan part = codes.span().Part(starts[i], count);
      rows_.push_back({Kind::kCodes, part.type(), part.data(), count, nullptr});
      continue;
    }
    const auto* chars = static_cast<const uint8_t*>(text_bytes.data()) + starts[i];
    if (tables_.tokens()) {
      const Ref encoded(EncodeLatin1(tables_, chars, count));
      if (!encoded) {
        NameSequence(static_cast<Py_ssize_t>(i));
        return false;
      }
      if (!AddEncoded(encoded.get())) return false;
    } else {
      rows_.push_back({Kind::kText1, CodeType::kU8, chars, count, nullptr});
    }
  }
  return true;
}

namespace {

// ---- filling the rows

// Where filling stopped: the row, the position in its sequence, and for a
// row of codes the code found there.
struct Refusal {
  size_t row;
  size_t position;
  CodeValue code;
};

// Codes are converted this many at a time through a scratch buffer that stays
// in the cache.
constexpr size_t kChunk = 1024;

template <class Out>
class RowFiller {
 public:
  RowFiller(const CodecTables& tables, Out* out, size_t width, Out pad,
            const std::vector<uint64_t>& prefix, const std::vector<uint64_t>& suffix)
      : tables_(tables), out_(out), width_(width), pad_(pad), prefix_(prefix), suffix_(suffix) {}

  // Fills row `r` with `keep` codes of `row` between prefix and suffix; the
  // codes past `keep` are checked too.  False with `refusal` set.
  bool Fill(size_t r, const BatchRows::Row& row, size_t keep, Refusal& refusal) {
    Out* line = out_ + r * width_;
    size_t at = 0;
    for (const uint64_t code : prefix_) line[at++] = static_cast<Out>(code);
    std::optional<size_t> stop;
    switch (row.kind) {
      case BatchRows::Kind::kText1:
        stop = FillText(static_cast<const uint8_t*>(row.data), row.size, keep, line + at);
        break;
      case BatchRows::Kind::kText2:
        stop = FillText(static_cast<const uint16_t*>(row.data), row.size, keep, line + at);
        break;
      case BatchRows::Kind::kText4:
        stop = FillText(static_cast<const uint32_t*>(row.data), row.size, keep, line + at);
        break;
      case BatchRows::Kind::kCodes:
        stop = VisitCodes(CodeSpan(row.type, row.data, row.size), [&](const auto* in) {
          return FillCodes(in, row.size, keep, line + at, refusal.code);
        });
        break;
    }
    if (stop) {
      refusal.row = r;
      refusal.position = *stop;
      return false;
    }
    at += keep;
    for (const uint64_t code : suffix_) line[at++] = static_cast<Out>(code);
    std::fill(line + at, line + width_, pad_);
    return true;
  }

 private:
  // Text, one code per character: straight into the row when the codes
  // are as wide as the row's items, else through the scratch buffer.
  template <class Char>
  std::optional<size_t> FillText(const Char* in, size_t n, size_t keep, Out* line) {
    return WithScratch([&](auto* scratch) -> std::optional<size_t> {
      using Code = std::remove_pointer_t<decltype(scratch)>;
      size_t done = 0;
      if constexpr (std::is_same_v<Code, Out>) {
        done = TranslateText(tables_, in, line, keep);
        if (done < keep) return done;
      }
      while (done < n) {
        const size_t count = std::min(kChunk, n - done);
        const size_t coded = TranslateText(tables_, in + done, scratch, count);
        if (coded < count) return done + coded;
        if (done < keep) {
          const size_t kept = std::min(count, keep - done);
          std::copy(scratch, scratch + kept, line + done);
        }
        done += count;
      }
      return std::nullopt;
    });
  }

  template <class Work>
  std::optional<size_t> WithScratch(Work&& work) {
    switch (tables_.code_width()) {
      case 1: return work(reinterpret_cast<uint8_t*>(scratch_));
      case 2: return work(reinterpret_cast<uint16_t*>(scratch_));
      default: return work(reinterpret_cast<uint32_t*>(scratch_));
    }
  }

  // Codes of any integer type: each read once into the scratch buffer as a
  // 64-bit value (a negative one becomes huge, and is refused with the
  // codes too large), checked, then stored.
  template <class T>
  std::optional<size_t> FillCodes(const T* in, size_t n, size_t keep, Out* line, CodeValue& bad) {
    uint64_t* values = scratch_;
    for (size_t done = 0; done < n; done += kChunk) {
      const size_t count = std::min(kChunk, n - done);
      for (size_t i = 0; i < count; ++i) values[i] = static_cast<uint64_t>(ReadOnce(in + done + i));
      bool refused = false;
      for (size_t i = 0; i < count; ++i) refused |= values[i] >= tables_.size;
      if (refused) {
        for (size_t i = 0;; ++i) {
          if (values[i] < tables_.size) continue;
          const auto value = static_cast<T>(values[i]);
          if constexpr (std::is_signed_v<T>) {
            bad = {value < 0, value < 0 ? 0 - values[i] : values[i]};
          } else {
            bad = {false, values[i]};
          }
          return done + i;
        }
      }
      if (done < keep) {
        const size_t kept = std::min(count, keep - done);
        std::copy(values, values + kept, line + done);
      }
    }
    return std::nullopt;
  }

  const CodecTables& tables_;
  Out* out_;
  size_t width_;
  Out pad_;
  const std::vector<uint64_t>& prefix_;
  const std::vector<uint64_t>& suffix_;
  uint64_t scratch_[kChunk];
};

// The unsigned type of each item size; signed formats store the same bits.
template <class Work>
auto WithItemType(size_t itemsize, void* data, Work&& work) {
  switch (itemsize) {
    case 1: return work(static_cast<uint8_t*>(data));
    case 2: return work(static_cast<uint16_t*>(data));
    case 4: return work(static_cast<uint32_t*>(data));
    default: return work(static_cast<uint64_t*>(data));
  }
}

// Small code lists given by Python (prefix, suffix).
bool ReadCodes(PyObject* object, std::vector<uint64_t>& codes, const char* what) {
  CodeSource source;
  if (!source.Gather(object, std::nullopt, "is not a code")) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "%s holds codes (ints)", what);
    }
    return false;
  }
  const auto* values = static_cast<const uint64_t*>(source.data());
  codes.assign(values, values + source.size());
  return true;
}

// The items of an integer format of one item in this machine's order ("B",
// "q", ...); false with ValueError for any other format.
bool ParseIntegerFormat(const char* format, ItemFormat& item) {
  if (ParseItemFormat(format, item) && !item.foreign_order &&
      (item.item_class == ItemClass::kSigned || item.item_class == ItemClass::kUnsigned)) {
    return true;
  }
  PyErr_Format(PyExc_ValueError, "format %s is not one of integer items", format);
  return false;
}

PyObject* EncodeBatch(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codec",  "sequences", "pad",     "length", "truncate", "prefix",
                                   "suffix", "format",    "offsets", "text",   nullptr};
  PyObject *codec, *sequences, *pad_object, *length_object = Py_None;
  PyObject *prefix_object = nullptr, *suffix_object = nullptr, *offsets = Py_None;
  int truncate = 0, text = 0;
  const char* format = "B";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OpOOsOp:encode_batch",
                                   const_cast<char**>(keywords), &codec, &sequences, &pad_object,
                                   &length_object, &truncate, &prefix_object, &suffix_object,
                                   &format, &offsets, &text)) {
    return nullptr;
  }
  const CodecTables* tables = TablesOfCodec(codec);
  if (tables == nullptr) return nullptr;
  return Guarded([&]() -> PyObject* {
    ItemFormat item{};
    if (!ParseIntegerFormat(format, item)) return nullptr;
    const size_t itemsize = item.size;
    std::vector<uint64_t> prefix, suffix, pad;
    const Ref pad_list(Py_BuildValue("(O)", pad_object));
    if (!pad_list || !ReadCodes(pad_list.get(), pad, "pad") ||
        (prefix_object != nullptr && !ReadCodes(prefix_object, prefix, "prefix")) ||
        (suffix_object != nullptr && !ReadCodes(suffix_object, suffix, "suffix"))) {
      return nullptr;
    }
    // Every code written must fit the items: the alphabet's, pad's, prefix's
    // and suffix's.
    const bool is_signed = item.item_class == ItemClass::kSigned;
    const uint64_t room = itemsize == 8 ? (is_signed ? INT64_MAX : UINT64_MAX)
                                        : (uint64_t{1} << (8 * itemsize - (is_signed ? 1 : 0))) - 1;
    uint64_t largest = tables->size == 0 ? 0 : tables->size - 1;
    for (const auto* codes : {&pad, &prefix, &suffix}) {
      for (const uint64_t code : *codes) largest = std::max(largest, code);
    }
    if (largest > room) {
      PyErr_Format(PyExc_ValueError, "code %llu does not fit items of format %s",
                   static_cast<unsigned long long>(largest), format);
      return nullptr;
    }
    std::optional<size_t> length;
    if (length_object != Py_None) {
      const Py_ssize_t given = PyNumber_AsSsize_t(length_object, PyExc_OverflowError);
      if (given == -1 && PyErr_Occurred()) return nullptr;
      if (given < 0) {
        PyErr_Format(PyExc_ValueError, "length must not be negative, not %zd", given);
        return nullptr;
      }
      length = static_cast<size_t>(given);
    }

    BatchRows batch(*tables);
    if (offsets == Py_None ? !batch.ReadItems(sequences)
                           : !batch.ReadFlat(sequences, offsets, text != 0)) {
      return nullptr;
    }
    const auto& rows = batch.rows();
    const size_t n = rows.size();
    const size_t framing = prefix.size() + suffix.size();
    size_t width = 0;
    for (const auto& row : rows) width = std::max(width, framing + row.size);
    if (length) {
      if (truncate && *length < framing) {
        PyErr_Format(PyExc_ValueError,
                     "length %zu leaves no room for the %zu codes of prefix and suffix", *length,
                     framing);
        return nullptr;
      }
      for (size_t i = 0; i < n && !truncate; ++i) {
        if (framing + rows[i].size > *length) {
          PyErr_Format(PyExc_ValueError,
                       "sequence %zu has %zu codes with prefix and suffix, more than length %zu "
                       "(truncate=True cuts it)",
                       i, framing + rows[i].size, *length);
          return nullptr;
        }
      }
      width = *length;
    }

    void* data = nullptr;
    void* length_data = nullptr;
    const Ref codes(NewArray(item.bare, itemsize, {n, width}, data));
    const Ref lengths(codes ? NewArray("q", 8, {n}, length_data) : nullptr);
    if (!lengths) return nullptr;
    auto* unpadded = static_cast<int64_t*>(length_data);
    Refusal refusal{};
    const bool filled = Unlocked(n * width, [&] {
      return WithItemType(itemsize, data, [&](auto* out) {
        using Out = std::remove_pointer_t<decltype(out)>;
        RowFiller<Out> filler(*tables, out, width, static_cast<Out>(pad[0]), prefix, suffix);
        for (size_t r = 0; r < n; ++r) {
          const size_t keep = std::min(rows[r].size, width - framing);
          unpadded[r] = static_cast<int64_t>(framing + keep);
          if (!filler.Fill(r, rows[r], keep, refusal)) return false;
        }
        return true;
      });
    });
    if (!filled) {
      const auto& row = rows[refusal.row];
      if (row.kind == BatchRows::Kind::kCodes) {
        RaiseBadCode(refusal.code, refusal.position, "not in alphabet");
      } else {
        // Coding the text again names the symbol as encode_all does.
        const Ref again(
            row.origin != nullptr
                ? EncodeText(*tables, row.origin)
                : EncodeLatin1(*tables, static_cast<const uint8_t*>(row.data), row.size));
        if (again) PyErr_SetString(PyExc_SystemError, "a batch refused a text it codes");
      }
      NameSequence(static_cast<Py_ssize_t>(refusal.row));
      return nullptr;
    }
    return PyTuple_Pack(2, codes.get(), lengths.get());
  });
}

PyObject* DecodeBatch(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codec", "codes", "lengths", nullptr};
  PyObject *codec, *codes_object, *lengths_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:decode_batch", const_cast<char**>(keywords),
                                   &codec, &codes_object, &lengths_object)) {
    return nullptr;
  }
  if (TablesOfCodec(codec) == nullptr) return nullptr;
  return Guarded([&]() -> PyObject* {
    CodeSource codes, lengths;
    if (!codes.OpenBuffer(codes_object, 2) || !lengths.OpenBuffer(lengths_object)) return nullptr;
    const size_t n = codes.rows(), width = codes.columns();
    if (lengths.size() != n) {
      PyErr_Format(PyExc_ValueError, "%zu lengths for %zu rows of codes", lengths.size(), n);
      return nullptr;
    }
    std::vector<size_t> counts(n);
    const size_t bad = VisitCodes(lengths, [&](const auto* in) {
      for (size_t i = 0; i < n; ++i) {
        const auto count = in[i];
        if constexpr (std::is_signed_v<
                          std::remove_cv_t<std::remove_reference_t<decltype(count)>>>) {
          if (count < 0) return i;
        }
        if (static_cast<uint64_t>(count) > width) return i;
        counts[i] = static_cast<size_t>(count);
      }
      return n;
    });
    if (bad < n) {
      PyErr_Format(PyExc_ValueError, "lengths[%zu] is outside [0, %zu], the codes of a row", bad,
                   width);
      return nullptr;
    }
    Ref texts(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!texts) return nullptr;
    for (size_t i = 0; i < n; ++i) {
      PyObject* text = DecodeText(codec, codes.span().Part(i * width, counts[i]));
      if (text == nullptr) {
        NameSequence(static_cast<Py_ssize_t>(i));
        return nullptr;
      }
      PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(i), text);
    }
    return texts.Take();
  });
}

PyMethodDef batch_functions[] = {
    {"encode_batch", AsMethod(&EncodeBatch), METH_VARARGS | METH_KEYWORDS,
     "encode_batch(codec, sequences, pad, length=None, truncate=False, prefix=(), suffix=(),\n"
     "             format='B', offsets=None, text=False)\n--\n\n"
     "(codes, lengths): the sequences coded into the rows of an (n, L) Array of\n"
     "integer items of format, each row the prefix codes, the sequence's codes\n"
     "and the suffix codes, then the code pad up to L; lengths, an int64 Array,\n"
     "holds each row's count before the padding.  L is the longest row, or\n"
     "length (ValueError naming a longer sequence, unless truncate cuts its\n"
     "codes).  sequences is an iterable of str, buffers of codes, iterables of\n"
     "ints and objects with a `sequence` of these; or, with offsets (n + 1\n"
     "starts), one flat buffer of codes or, with text, of Latin-1 text.  Errors\n"
     "name the sequence.  The rows are filled with the interpreter lock released."},
    {"decode_batch", AsMethod(&DecodeBatch), METH_VARARGS | METH_KEYWORDS,
     "decode_batch(codec, codes, lengths)\n--\n\n"
     "The texts of rows of codes (a 2-D buffer), each of the first lengths[i]\n"
     "codes of its row."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool AddBatchFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, batch_functions) == 0;
}

}  // namespace native
