#include "native/io/batch.h"

#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "native/codec/codec.h"
#include "native/common/buffers.h"
#include "native/common/methods.h"
#include "native/common/ref.h"
#include "native/io/fields.h"
#include "native/io/record.h"

namespace native {
namespace {

PyTypeObject* batch_type = nullptr;

// The ids and descriptions of a batch's records, as text to be made into
// str on first use.
struct BatchNames {
  std::string text;
  std::vector<int64_t> starts;
  std::vector<uint8_t> ascii;

  std::string_view Name(size_t index) const {
    const auto start = static_cast<size_t>(starts[index]);
    return std::string_view(text).substr(start, static_cast<size_t>(starts[index + 1]) - start);
  }
};

struct BatchObject {
  PyObject_HEAD Py_ssize_t count;
  PyObject* sequences;
  PyObject* offsets;
  PyObject* qualities;  // None for FASTA
  PyObject* ids;        // made on first use
  PyObject* descriptions;
  BatchNames* names;
  Py_ssize_t width;  // bytes per code; 0 for text
  uint8_t phred;
};

BatchObject* AsBatch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

char FormatOfWidth(size_t width) { return width == 1 ? 'B' : width == 2 ? 'H' : 'I'; }

const int64_t* OffsetsOf(const BatchObject* batch) {
  return static_cast<const int64_t*>(BufferData(batch->offsets));
}

// The names of every record (ids: `first` 0, descriptions: 1) as a list.
PyObject* NameList(const BatchObject* batch, size_t first) {
  Ref list(PyList_New(batch->count));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < batch->count; ++i) {
    const auto index = static_cast<size_t>(i);
    PyObject* name = Text(batch->names->Name(2 * index + first), batch->names->ascii[index] != 0);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, name);
  }
  return list.Take();
}

PyObject* BatchIds(PyObject* self, void*) {
  BatchObject* batch = AsBatch(self);
  if (batch->ids == nullptr) batch->ids = NameList(batch, 0);
  return Py_XNewRef(batch->ids);
}

PyObject* BatchDescriptions(PyObject* self, void*) {
  BatchObject* batch = AsBatch(self);
  if (batch->descriptions == nullptr) batch->descriptions = NameList(batch, 1);
  return Py_XNewRef(batch->descriptions);
}

PyObject* BatchSequences(PyObject* self, void*) { return Py_NewRef(AsBatch(self)->sequences); }
PyObject* BatchOffsets(PyObject* self, void*) { return Py_NewRef(AsBatch(self)->offsets); }
PyObject* BatchQualities(PyObject* self, void*) { return Py_NewRef(AsBatch(self)->qualities); }
PyObject* BatchCoded(PyObject* self, void*) { return PyBool_FromLong(AsBatch(self)->width != 0); }
PyObject* BatchPhred(PyObject* self, void*) {
  const uint8_t phred = AsBatch(self)->phred;
  return phred != 0 ? PyLong_FromLong(phred) : Py_NewRef(Py_None);
}

Py_ssize_t BatchLength(PyObject* self) { return AsBatch(self)->count; }

// The name of record `index` from the list when it was made, else from
// the text.
PyObject* NameOf(const BatchObject* batch, PyObject* list, size_t index, size_t which) {
  if (list != nullptr) return Py_NewRef(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(index)));
  return Text(batch->names->Name(2 * index + which), batch->names->ascii[index] != 0);
}

PyObject* SequenceOf(const BatchObject* batch, size_t index) {
  const int64_t* offsets = OffsetsOf(batch);
  const auto start = static_cast<size_t>(offsets[index]);
  const auto count = static_cast<size_t>(offsets[index + 1]) - start;
  const auto* data = static_cast<const char*>(BufferData(batch->sequences));
  if (batch->width == 0) {
    return Text(std::string_view(data + start, count), batch->names->ascii[index] != 0);
  }
  const auto width = static_cast<size_t>(batch->width);
  if (width == 1) return PyBytes_FromStringAndSize(data + start, static_cast<Py_ssize_t>(count));
  Ref codes(NewUnsignedArray(width, count));
  PinnedBuffer pinned;
  if (!codes || !pinned.Pin(codes.get(), PyBUF_WRITABLE)) return nullptr;
  if (count > 0) std::memcpy(pinned.data(), data + start * width, count * width);
  return codes.Take();
}

PyObject* QualityOf(const BatchObject* batch, size_t index) {
  if (batch->qualities == Py_None) return Py_NewRef(Py_None);
  const int64_t* offsets = OffsetsOf(batch);
  const auto start = static_cast<size_t>(offsets[index]);
  const auto count = static_cast<size_t>(offsets[index + 1]) - start;
  const auto* data = static_cast<const char*>(BufferData(batch->qualities));
  if (batch->phred != 0) {
    return PyBytes_FromStringAndSize(data + start, static_cast<Py_ssize_t>(count));
  }
  return Text(std::string_view(data + start, count), batch->names->ascii[index] != 0);
}

PyObject* BatchItem(PyObject* self, Py_ssize_t i) {
  const BatchObject* batch = AsBatch(self);
  if (i < 0 || i >= batch->count) {
    PyErr_Format(PyExc_IndexError, "record index %zd out of range [0, %zd)", i, batch->count);
    return nullptr;
  }
  const auto index = static_cast<size_t>(i);
  Ref id(NameOf(batch, batch->ids, index, 0));
  Ref description(id ? NameOf(batch, batch->descriptions, index, 1) : nullptr);
  Ref sequence(description ? SequenceOf(batch, index) : nullptr);
  Ref quality(sequence ? QualityOf(batch, index) : nullptr);
  if (!quality) return nullptr;
  return NewRecord(id.Take(), description.Take(), sequence.Take(), quality.Take());
}

PyObject* BatchToArrow(PyObject* self, PyObject*) {
  const Ref module(PyImport_ImportModule("alphabet._arrow"));
  const Ref convert(module ? PyObject_GetAttrString(module.get(), "batch_to_arrow") : nullptr);
  return convert ? PyObject_CallOneArg(convert.get(), self) : nullptr;
}

PyObject* BatchRepr(PyObject* self) {
  const BatchObject* batch = AsBatch(self);
  return PyUnicode_FromFormat("<RecordBatch of %zd %s records, %lld %s>", batch->count,
                              batch->qualities == Py_None ? "FASTA" : "FASTQ",
                              static_cast<long long>(OffsetsOf(batch)[batch->count]),
                              batch->width == 0 ? "bytes of text" : "codes");
}

void BatchDealloc(PyObject* self) {
  BatchObject* batch = AsBatch(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(batch->sequences);
  Py_XDECREF(batch->offsets);
  Py_XDECREF(batch->qualities);
  Py_XDECREF(batch->ids);
  Py_XDECREF(batch->descriptions);
  delete batch->names;
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef batch_getset[] = {
    {"ids", BatchIds, nullptr, "The records' ids, a list of str.", nullptr},
    {"descriptions", BatchDescriptions, nullptr, "The records' descriptions, a list of str.",
     nullptr},
    {"sequences", BatchSequences, nullptr,
     "Every record's codes (or the bytes of its text, without an alphabet), one\n"
     "after the other: a Buffer of uint8, or uint16 for alphabets of more than 256\n"
     "symbols.",
     nullptr},
    {"offsets", BatchOffsets, nullptr,
     "Where each record starts in `sequences` (and `qualities`), and where the last\n"
     "ends: a Buffer of n + 1 int64.",
     nullptr},
    {"qualities", BatchQualities, nullptr,
     "Every record's quality laid out as `sequences` (uint8 Phred scores when read\n"
     "with phred=, else its characters); None for FASTA.",
     nullptr},
    {"coded", BatchCoded, nullptr, "True when `sequences` holds codes (read with an alphabet).",
     nullptr},
    {"phred", BatchPhred, nullptr,
     "The Phred offset that `qualities` were read with, or None for characters.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef batch_methods[] = {
    {"to_arrow", BatchToArrow, METH_NOARGS,
     "The batch as a pyarrow.RecordBatch (id, description, sequence, and quality\n"
     "for FASTQ), sharing the sequences' and qualities' memory; needs pyarrow."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, AsSlot(&BatchDealloc)},
    {Py_tp_repr, AsSlot(&BatchRepr)},
    {Py_sq_length, AsSlot(&BatchLength)},
    {Py_sq_item, AsSlot(&BatchItem)},
    {Py_tp_getset, batch_getset},
    {Py_tp_methods, batch_methods},
    {Py_tp_doc, const_cast<char*>("Records of a FASTA or FASTQ input in a few buffers; made by "
                                  "alphabet.read(..., batch_size=N).")},
    {0, nullptr},
};

}  // namespace

BatchBuilder::BatchBuilder(const CodecTables* tables, uint8_t phred)
    : tables_(tables), phred_(phred), width_(tables != nullptr ? tables->code_width() : 1) {}

BatchBuilder::Outcome BatchBuilder::Add(const formats::Record& record, bool fastq, size_t& at) {
  // Text beyond ASCII, and alphabets with symbols of several characters,
  // are coded through the text.
  if (tables_ != nullptr && (!record.ascii || !tables_->one_char)) return Outcome::kNeedsText;
  if (count_ == 0) Prepare();
  const size_t count = record.sequence.size();
  const size_t before = sequences_.size();
  uint8_t* out = sequences_.Extend(count * width_);
  const auto* text = reinterpret_cast<const uint8_t*>(record.sequence.data());
  if (tables_ == nullptr) {
    if (count > 0) std::memcpy(out, text, count);
  } else {
    at = EncodeLatin1Into(*tables_, text, count, out);
    if (at < count) {
      sequences_.Truncate(before);
      return Outcome::kBadSymbol;
    }
  }
  const Outcome quality = AddQuality(record, fastq, count, at);
  if (quality != Outcome::kAdded) {
    sequences_.Truncate(before);
    return quality;
  }
  Finish(record, count);
  return Outcome::kAdded;
}

BatchBuilder::Outcome BatchBuilder::AddCoded(const formats::Record& record, bool fastq,
                                             const void* codes, size_t count, size_t& at) {
  if (count_ == 0) Prepare();
  const Outcome quality = AddQuality(record, fastq, count, at);
  if (quality != Outcome::kAdded) return quality;
  uint8_t* out = sequences_.Extend(count * width_);
  if (count > 0) std::memcpy(out, codes, count * width_);
  Finish(record, count);
  return Outcome::kAdded;
}

BatchBuilder::Outcome BatchBuilder::AddQuality(const formats::Record& record, bool fastq,
                                               size_t items, size_t& at) {
  if (!fastq) return Outcome::kAdded;
  if (record.quality.size() != items) return Outcome::kUneven;
  const size_t before = qualities_.size();
  uint8_t* out = qualities_.Extend(items);
  if (phred_ == 0) {
    if (items > 0) std::memcpy(out, record.quality.data(), items);
    return Outcome::kAdded;
  }
  at = PhredScores(record.quality, phred_, out);
  if (at == items) return Outcome::kAdded;
  qualities_.Truncate(before);
  return Outcome::kBadQuality;
}

void BatchBuilder::Prepare() {
  // A little more than the last batch, so that one a little larger fits.
  const auto more = [](size_t size) { return size + size / 8; };
  sequences_.Reserve(more(last_sequences_));
  qualities_.Reserve(more(last_qualities_));
  offsets_.Reserve(more(last_count_ + 1) * sizeof(int64_t));
  names_.reserve(more(last_names_));
  name_starts_.reserve(more(2 * last_count_ + 1));
  ascii_.reserve(more(last_count_));
}

void BatchBuilder::Finish(const formats::Record& record, size_t sequence_items) {
  if (count_ == 0) {
    std::memset(offsets_.Extend(sizeof(int64_t)), 0, sizeof(int64_t));
    name_starts_.assign(1, 0);
  }
  items_ += static_cast<int64_t>(sequence_items);
  std::memcpy(offsets_.Extend(sizeof(int64_t)), &items_, sizeof(int64_t));
  names_.append(record.id);
  name_starts_.push_back(static_cast<int64_t>(names_.size()));
  names_.append(record.description);
  name_starts_.push_back(static_cast<int64_t>(names_.size()));
  ascii_.push_back(record.ascii ? 1 : 0);
  ++count_;
}

PyObject* BatchBuilder::Take(bool fastq) {
  auto* batch = PyObject_New(BatchObject, batch_type);
  if (batch == nullptr) return nullptr;
  batch->count = static_cast<Py_ssize_t>(count_);
  batch->sequences = batch->offsets = batch->qualities = nullptr;
  batch->ids = batch->descriptions = nullptr;
  batch->names = nullptr;
  batch->width = tables_ != nullptr ? static_cast<Py_ssize_t>(width_) : 0;
  batch->phred = phred_;
  Ref made(reinterpret_cast<PyObject*>(batch));
  last_sequences_ = sequences_.size();
  last_qualities_ = qualities_.size();
  last_names_ = names_.size();
  last_count_ = count_;
  batch->names =
      new (std::nothrow) BatchNames{std::move(names_), std::move(name_starts_), std::move(ascii_)};
  if (batch->names == nullptr) return PyErr_NoMemory();
  batch->sequences = NewBuffer(sequences_, FormatOfWidth(width_));
  batch->offsets = batch->sequences != nullptr ? NewBuffer(offsets_, 'q') : nullptr;
  if (batch->offsets == nullptr) return nullptr;
  batch->qualities = fastq ? NewBuffer(qualities_, 'B') : Py_NewRef(Py_None);
  if (batch->qualities == nullptr) return nullptr;
  names_.clear();
  name_starts_.clear();
  ascii_.clear();
  count_ = 0;
  items_ = 0;
  return made.Take();
}

bool AddBatches(PyObject* module) {
  return AddType(module, "RecordBatch",
                 {.name = "alphabet.RecordBatch",
                  .basicsize = sizeof(BatchObject),
                  .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                  .slots = batch_slots},
                 batch_type);
}

}  // namespace native
