#include "native/sequences.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>
#include <vector>

#include "native/flat_api.h"
#include "native/held.h"
#include "native/interpreter.h"
#include "native/sequence_values.h"

namespace native {
namespace {

// Positions cross _alphabet's methods as 32-bit ints; the package refuses
// the same positions, so that an index means one thing through either face.
constexpr int64_t kPositionLimit = int64_t{1} << 31;

// Long native loops look for signals (Ctrl-C) once per this many elements.
constexpr int64_t kSignalMask = (int64_t{1} << 16) - 1;

bool CheckSignals(int64_t done) {
  return (done & kSignalMask) != kSignalMask || PyErr_CheckSignals() == 0;
}

PyTypeObject* sequence_type = nullptr;
PyTypeObject* iterator_type = nullptr;

struct KindRow;

struct SequenceObject {
  HeldObject held;
  const KindRow* row;  // null until first use in an instance made by adopt()
};

SequenceObject* AsSequence(PyObject* object) { return reinterpret_cast<SequenceObject*>(object); }
int64_t HandleOfSequence(PyObject* object) { return AsSequence(object)->held.handle; }
bool IsSequence(PyObject* object) { return PyObject_TypeCheck(object, sequence_type); }

// The row of a sequence object; null with the exception set when its class
// names no kind.
const KindRow* RowOf(PyObject* sequence);

// Adds a note naming the item that a bulk fill could not take to the
// TypeError, ValueError or OverflowError it raised.  Always false.
bool NoteItem(Py_ssize_t position) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return false;
  }
  PyObject* error = PyErr_GetRaisedException();
  PyObject* note = PyUnicode_FromFormat("at position %zd of the values", position);
  PyObject* done = note == nullptr ? nullptr : PyObject_CallMethod(error, "add_note", "O", note);
  Py_XDECREF(note);
  if (done == nullptr) PyErr_Clear();  // the error itself matters more than its note
  Py_XDECREF(done);
  PyErr_SetRaisedException(error);
  return false;
}

// ---- Buffers coming in ----------------------------------------------------

struct ItemType {
  ItemClass item_class;
  Py_ssize_t size;
};

// The items that a struct-module format describes, for a format of one
// plain number in this machine's byte order; false for any other format.
bool ParseFormat(const char* format, ItemType& out) {
  if (format == nullptr) format = "B";  // what an exporter that names none means
  bool native_sizes = true;
  switch (*format) {
    case '@': ++format; break;
    case '=':
      native_sizes = false;
      ++format;
      break;
    case '<':
      if constexpr (std::endian::native != std::endian::little) return false;
      native_sizes = false;
      ++format;
      break;
    case '>':
    case '!':
      if constexpr (std::endian::native != std::endian::big) return false;
      native_sizes = false;
      ++format;
      break;
    default: break;
  }
  if (format[0] == '\0' || format[1] != '\0') return false;
  const auto sized = [native_sizes](size_t native, Py_ssize_t standard) {
    return native_sizes ? static_cast<Py_ssize_t>(native) : standard;
  };
  switch (format[0]) {
    case 'b': out = {ItemClass::kSigned, 1}; return true;
    case 'B': out = {ItemClass::kUnsigned, 1}; return true;
    case 'h': out = {ItemClass::kSigned, 2}; return true;
    case 'H': out = {ItemClass::kUnsigned, 2}; return true;
    case 'i': out = {ItemClass::kSigned, sized(sizeof(int), 4)}; return true;
    case 'I': out = {ItemClass::kUnsigned, sized(sizeof(unsigned), 4)}; return true;
    case 'l': out = {ItemClass::kSigned, sized(sizeof(long), 4)}; return true;
    case 'L': out = {ItemClass::kUnsigned, sized(sizeof(unsigned long), 4)}; return true;
    case 'q': out = {ItemClass::kSigned, 8}; return true;
    case 'Q': out = {ItemClass::kUnsigned, 8}; return true;
    case 'n': out = {ItemClass::kSigned, sizeof(Py_ssize_t)}; return native_sizes;
    case 'N': out = {ItemClass::kUnsigned, sizeof(size_t)}; return native_sizes;
    case 'f': out = {ItemClass::kFloat, 4}; return true;
    case 'd': out = {ItemClass::kFloat, 8}; return true;
    case '?': out = {ItemClass::kBool, 1}; return true;
    default: return false;
  }
}

// "int32", "uint8", "float64", "bool": the items a kind's buffers hold.
PyObject* ItemName(ItemClass item_class, Py_ssize_t size) {
  switch (item_class) {
    case ItemClass::kSigned: return PyUnicode_FromFormat("int%zd", size * 8);
    case ItemClass::kUnsigned: return PyUnicode_FromFormat("uint%zd", size * 8);
    case ItemClass::kFloat: return PyUnicode_FromFormat("float%zd", size * 8);
    default: return PyUnicode_FromString("bool");
  }
}

// A buffer held for the length of a fill: the exporter may not move or
// resize it meanwhile, whatever Python code a signal handler runs.
class PinnedItems {
 public:
  PinnedItems() = default;
  ~PinnedItems() {
    if (held_ && HoldsInterpreter()) PyBuffer_Release(&view_);
  }
  PinnedItems(const PinnedItems&) = delete;
  PinnedItems& operator=(const PinnedItems&) = delete;

  // Byte kinds take any C-contiguous bytes-like object, as raw bytes.
  bool AcquireBytes(PyObject* values, const char* kind) {
    if (PyObject_GetBuffer(values, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    return CheckContiguous(values, kind);
  }

  // Other kinds take one-dimensional C-contiguous items of their own type.
  bool AcquireItems(PyObject* values, const char* kind, ItemClass item_class, Py_ssize_t itemsize,
                    const char* format) {
    if (PyObject_GetBuffer(values, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    ItemType type{};
    if (!ParseFormat(view_.format, type) || type.item_class != item_class ||
        type.size != itemsize || view_.itemsize != itemsize) {
      PyObject* expected = ItemName(item_class, itemsize);
      if (expected == nullptr) return false;
      PyErr_Format(PyExc_TypeError,
                   "%s %s sequence takes a buffer of %U items (format '%s'), not one of format "
                   "'%.20s'",
                   Article(kind), kind, expected, format,
                   view_.format == nullptr ? "B" : view_.format);
      Py_DECREF(expected);
      return false;
    }
    if (view_.ndim != 1) {
      PyErr_Format(PyExc_TypeError,
                   "%s %s sequence takes a one-dimensional buffer; this %.200s has %d "
                   "dimensions",
                   Article(kind), kind, Py_TYPE(values)->tp_name, view_.ndim);
      return false;
    }
    return CheckContiguous(values, kind);
  }

  const char* data() const { return static_cast<const char*>(view_.buf); }
  Py_ssize_t bytes() const { return view_.len; }

 private:
  bool CheckContiguous(PyObject* values, const char* kind) {
    if (PyBuffer_IsContiguous(&view_, 'C')) return true;
    PyErr_Format(PyExc_TypeError,
                 "%s %s sequence takes a C-contiguous buffer; this %.200s has gaps between its "
                 "items (a strided view: copy it first)",
                 Article(kind), kind, Py_TYPE(values)->tp_name);
    return false;
  }

  Py_buffer view_{};
  bool held_ = false;
};

// ---- The kinds ------------------------------------------------------------

// The flat functions of one kind, from the table resolved at import.
#define KIND(kind, storage_type)                                                            \
  struct Kind_##kind {                                                                      \
    using Storage = sequences::storage_type;                                                \
    static constexpr const char* kName = #kind;                                             \
    static int64_t CTor() { return Flat().Slice_##kind##_CTor(); }                          \
    static int64_t Len(int64_t handle) { return Flat().Slice_##kind##_len(handle); }        \
    static bindings::FlatForm<Storage>::Out Elem(int64_t handle, int64_t index) {           \
      return Flat().Slice_##kind##_elem(handle, index);                                     \
    }                                                                                       \
    static int64_t SubSlice(int64_t handle, int64_t st, int64_t ed) {                       \
      return Flat().Slice_##kind##_subslice(handle, st, ed);                                \
    }                                                                                       \
    static void Set(int64_t handle, int64_t index, bindings::FlatForm<Storage>::In value) { \
      Flat().Slice_##kind##_set(handle, index, value);                                      \
    }                                                                                       \
    static void Append(int64_t handle, bindings::FlatForm<Storage>::In value) {             \
      Flat().Slice_##kind##_append(handle, value);                                          \
    }                                                                                       \
    static auto AppendFunction() { return Flat().Slice_##kind##_append; }                   \
  };
#include "sequences/kinds.def"
#undef KIND

// One object per storage type: kinds that share one (byte and uint8, int32
// and rune) accept each other's handles.
template <class Storage>
constexpr char kStorageTag = 0;

// How a bulk fill treats the sequence it fills.
enum class Fill {
  // Appends as it converts: for a fresh sequence, released whole on failure.
  kDirect,
  // Converts every value first, then appends: an existing sequence gains
  // all of them or none (short of running out of memory halfway).
  kStaged,
};

// The descriptor of one kind: one constant row per line of kinds.def.
struct KindRow {
  const char* name;
  ItemClass item_class;
  Py_ssize_t itemsize;  // of a buffer item; 0 for texts, which have no buffer form
  const char* format;   // of a buffer item; null for texts
  bool bytes_like;      // byte and uint8: bytes in and out in one call
  const void* storage;  // the storage type's tag
  int64_t (*ctor)();
  int64_t (*len)(int64_t handle);
  int64_t (*subslice)(int64_t handle, int64_t st, int64_t ed);
  // An element as a new reference; null with the exception set.
  PyObject* (*get)(int64_t handle, int64_t index);
  // The package's value rules, then the flat call; false with the exception set.
  bool (*set)(int64_t handle, int64_t index, PyObject* value);
  bool (*append)(int64_t handle, PyObject* value);
  // Appends the values of a sequence, list, tuple, buffer or other iterable.
  bool (*extend)(int64_t handle, PyObject* values, Fill fill);
  // Writes the first `count` elements as buffer items to `out`.
  bool (*export_items)(int64_t handle, char* out, int64_t count);
};

template <class K>
class Ops {
 public:
  using Storage = typename K::Storage;
  using Values = ValuesFor<Storage>;
  using Value = typename Values::Value;
  using FlatOut = typename bindings::FlatForm<Storage>::Out;
  static constexpr bool kBytesLike = std::is_same_v<Storage, sequences::U8Storage>;
  static constexpr bool kHasItems = Values::kItemClass != ItemClass::kText;

  static constexpr Py_ssize_t ItemSize() {
    if constexpr (kHasItems) {
      return sizeof(typename Values::Item);
    } else {
      return 0;
    }
  }

  static constexpr const char* Format() {
    constexpr Py_ssize_t size = ItemSize();
    switch (Values::kItemClass) {
      case ItemClass::kBool: return "?";
      case ItemClass::kFloat: return size == 4 ? "f" : "d";
      case ItemClass::kSigned: return size == 1 ? "b" : size == 2 ? "h" : size == 4 ? "i" : "q";
      case ItemClass::kUnsigned: return size == 1 ? "B" : size == 2 ? "H" : size == 4 ? "I" : "Q";
      default: return nullptr;
    }
  }

  // A flat call that fails returns its kind's neutral result (0, false, no
  // text) with the exception set: only that result needs the (thread-local,
  // so not free) look at the exception.
  static bool Failed(const FlatOut& flat) { return flat == FlatOut{} && PyErr_Occurred(); }

  static PyObject* Get(int64_t handle, int64_t index) {
    const FlatOut flat = K::Elem(handle, index);
    if (Failed(flat)) {
      Values::DropFlat(flat);
      return nullptr;
    }
    return Values::ToPython(flat);
  }

  static bool Set(int64_t handle, int64_t index, PyObject* object) {
    Value value{};
    if (!Values::FromPython(object, K::kName, value)) return false;
    K::Set(handle, index, Values::In(value));
    Values::Drop(value);
    return !PyErr_Occurred();
  }

  static bool Append(int64_t handle, PyObject* object) {
    Value value{};
    if (!Values::FromPython(object, K::kName, value)) return false;
    return DirectSink(handle).Put(value);
  }

  static bool Extend(int64_t handle, PyObject* values, Fill fill) {
    // Buffer items need no conversion that could fail: nothing to stage.  An
    // existing sequence then takes them all without looking for signals,
    // which could stop it halfway: a Ctrl-C is seen when the call returns.
    if (IsBufferSource(values)) {
      DirectSink sink(handle, /*interruptible=*/fill == Fill::kDirect);
      return FromBuffer(values, sink);
    }
    if (fill == Fill::kDirect) {
      DirectSink sink(handle);
      return Pour(values, sink);
    }
    StagedSink sink(handle);
    return Pour(values, sink) && sink.Commit();
  }

  static bool ExportItems(int64_t handle, char* out, int64_t count) {
    if constexpr (kHasItems) {
      using Item = typename Values::Item;
      for (int64_t i = 0; i < count; ++i) {
        const FlatOut flat = K::Elem(handle, i);
        if (Failed(flat)) return false;
        const Item item = Values::ToItem(flat);
        std::memcpy(out + i * sizeof(Item), &item, sizeof(Item));
        if (!CheckSignals(i)) return false;
      }
      return true;
    } else {
      PyErr_Format(PyExc_TypeError, "%s %s sequence has no buffer form", Article(K::kName),
                   K::kName);
      return false;
    }
  }

 private:
  // Appends each value as it comes.
  class DirectSink {
   public:
    explicit DirectSink(int64_t handle, bool interruptible = true)
        : handle_(handle), append_(K::AppendFunction()), interruptible_(interruptible) {}
    bool Reserve(int64_t) { return true; }
    // Whether a long fill may stop for a signal (the fill is then undone).
    bool interruptible() const { return interruptible_; }
    // Takes `value` over.
    bool Put(Value& value) {
      append_(handle_, Values::In(value));
      Values::Drop(value);
      return !PyErr_Occurred();
    }

   private:
    int64_t handle_;
    decltype(K::AppendFunction()) append_;
    bool interruptible_;
  };

  // Holds every converted value until Commit appends them all.
  class StagedSink {
   public:
    explicit StagedSink(int64_t handle) : handle_(handle) {}
    ~StagedSink() {
      for (Value& value : staged_) Values::Drop(value);
    }
    StagedSink(const StagedSink&) = delete;
    StagedSink& operator=(const StagedSink&) = delete;

    bool interruptible() const { return true; }  // nothing is appended before Commit
    bool Reserve(int64_t count) {
      try {
        staged_.reserve(static_cast<size_t>(count));
      } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
      }
      return true;
    }
    // Takes `value` over.
    bool Put(Value& value) {
      try {
        staged_.push_back(value);
      } catch (const std::exception&) {
        Values::Drop(value);
        PyErr_NoMemory();
        return false;
      }
      return true;
    }
    bool Commit() {
      const auto append = K::AppendFunction();
      for (const Value& value : staged_) {
        append(handle_, Values::In(value));
        if (PyErr_Occurred()) return false;
      }
      return true;
    }

   private:
    int64_t handle_;
    std::vector<Value> staged_;
  };

  static bool IsBufferSource(PyObject* values) {
    if constexpr (kHasItems) {
      return !IsSequence(values) && !PyList_CheckExact(values) && !PyTuple_CheckExact(values) &&
             PyObject_CheckBuffer(values);
    } else {
      return false;
    }
  }

  template <class Sink>
  static bool Pour(PyObject* values, Sink& sink) {
    if (IsSequence(values)) return FromSequence(values, sink);
    if (PyList_CheckExact(values) || PyTuple_CheckExact(values)) return FromItems(values, sink);
    return FromIterable(values, sink);
  }

  template <class Sink>
  static bool FromSequence(PyObject* source, Sink& sink) {
    const KindRow* row = RowOf(source);
    if (row == nullptr) return false;
    const int64_t handle = HandleOfSequence(source);
    // Read once: what is appended meanwhile (seq.extend(seq)) is not read.
    const int64_t count = row->len(handle);
    if (PyErr_Occurred() || !sink.Reserve(count)) return false;
    // The same storage type: the flat values cross as they are.
    const bool same_storage = row->storage == &kStorageTag<Storage>;
    for (int64_t i = 0; i < count; ++i) {
      Value value{};
      if (same_storage) {
        const FlatOut flat = K::Elem(handle, i);
        if (Failed(flat)) {
          Values::DropFlat(flat);
          return false;
        }
        value = Values::FromFlat(flat);
      } else {
        PyObject* item = row->get(handle, i);
        if (item == nullptr) return false;
        const bool ok = Values::FromPython(item, K::kName, value);
        Py_DECREF(item);
        if (!ok) return NoteItem(static_cast<Py_ssize_t>(i));
      }
      if (!sink.Put(value) || !CheckSignals(i)) return false;
    }
    return true;
  }

  template <class Sink>
  static bool FromItems(PyObject* values, Sink& sink) {
    if (!sink.Reserve(PySequence_Fast_GET_SIZE(values))) return false;
    // A conversion may run Python code (__index__, __float__, __bool__) that
    // changes the list: its size is read afresh, and an item that is not of
    // a plain builtin type is held meanwhile.  Plain items are only read,
    // which leaves their memory clean (a million reference count writes
    // would cost the fill a third of its time).
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(values); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(values, i);
      Value value{};
      bool ok;
      if (Values::IsPlain(item)) {
        ok = Values::FromPython(item, K::kName, value);
      } else {
        Py_INCREF(item);
        ok = Values::FromPython(item, K::kName, value);
        Py_DECREF(item);
      }
      if (!ok) return NoteItem(i);
      if (!sink.Put(value) || !CheckSignals(i)) return false;
    }
    return true;
  }

  template <class Sink>
  static bool FromIterable(PyObject* values, Sink& sink) {
    PyObject* iterator = PyObject_GetIter(values);
    if (iterator == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(values)->tp_iter == nullptr &&
          !PySequence_Check(values)) {
        PyErr_Format(PyExc_TypeError, "values of %s %s sequence must be iterable%s, not %.200s",
                     Article(K::kName), K::kName, kHasItems ? " or a buffer" : "",
                     Py_TYPE(values)->tp_name);
      }
      return false;
    }
    bool ok = true;
    Py_ssize_t position = 0;
    while (PyObject* item = PyIter_Next(iterator)) {
      Value value{};
      ok = Values::FromPython(item, K::kName, value);
      Py_DECREF(item);
      if (!ok) {
        NoteItem(position);
        break;
      }
      ok = sink.Put(value) && CheckSignals(position);
      if (!ok) break;
      ++position;
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
  }

  template <class Sink>
  static bool FromBuffer(PyObject* values, Sink& sink) {
    if constexpr (kHasItems) {
      using Item = typename Values::Item;
      PinnedItems pinned;
      const bool acquired = kBytesLike ? pinned.AcquireBytes(values, K::kName)
                                       : pinned.AcquireItems(values, K::kName, Values::kItemClass,
                                                             ItemSize(), Format());
      if (!acquired) return false;
      const Py_ssize_t count = pinned.bytes() / static_cast<Py_ssize_t>(sizeof(Item));
      if (!sink.Reserve(count)) return false;
      for (Py_ssize_t i = 0; i < count; ++i) {
        Item item;
        std::memcpy(&item, pinned.data() + i * sizeof(Item), sizeof(Item));
        Value value = Values::FromItem(item);
        if (!sink.Put(value) || (sink.interruptible() && !CheckSignals(i))) return false;
      }
      return true;
    } else {
      return Pour(values, sink);
    }
  }
};

template <class K>
constexpr KindRow MakeRow() {
  using O = Ops<K>;
  return KindRow{K::kName,      O::Values::kItemClass,
                 O::ItemSize(), O::Format(),
                 O::kBytesLike, &kStorageTag<typename K::Storage>,
                 &K::CTor,      &K::Len,
                 &K::SubSlice,  &O::Get,
                 &O::Set,       &O::Append,
                 &O::Extend,    O::kHasItems ? &O::ExportItems : nullptr};
}

constexpr KindRow kRows[] = {
#define KIND(kind, storage) MakeRow<Kind_##kind>(),
#include "sequences/kinds.def"
#undef KIND
};

// ---- Finding a kind ---------------------------------------------------------

const KindRow* RowNamed(PyObject* name) {
  if (!PyUnicode_Check(name)) return nullptr;
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) {
    PyErr_Clear();  // a text no kind is named by
    return nullptr;
  }
  for (const KindRow& row : kRows) {
    if (std::strcmp(row.name, text) == 0) return &row;
  }
  return nullptr;
}

// The row that `cls.kind` names; null with TypeError when it names none.
const KindRow* RowOfClass(PyTypeObject* cls) {
  PyObject* kind = nullptr;
  if (PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(cls), "kind", &kind) < 0) {
    return nullptr;
  }
  const KindRow* row = kind == nullptr ? nullptr : RowNamed(kind);
  Py_XDECREF(kind);
  if (row == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "%N names no sequence kind; make sequences with "
                 "alphabet.sequence(kind, values)",
                 cls);
  }
  return row;
}

const KindRow* RowOf(PyObject* sequence) {
  SequenceObject* object = AsSequence(sequence);
  if (object->row == nullptr) object->row = RowOfClass(Py_TYPE(sequence));
  return object->row;
}

// ---- Making sequences --------------------------------------------------------

// A new instance of `cls` owning `fresh`, a handle of `row`'s kind that a
// flat call has just registered; the entry is released on failure.
PyObject* NewSequence(PyTypeObject* cls, const KindRow* row, int64_t fresh) {
  PyObject* object = AdoptFresh(cls, fresh);
  if (object != nullptr) AsSequence(object)->row = row;
  return object;
}

// A bytes-like object, or a byte sequence, that a byte kind copies in one
// call.
bool TakesAsBytes(const KindRow* row, PyObject* values) {
  if (!row->bytes_like || !PyObject_CheckBuffer(values)) return false;
  if (!IsSequence(values)) return true;
  const KindRow* source = RowOf(values);
  return source != nullptr && source->bytes_like;
}

// A new sequence of `row`'s kind holding `values` (none when null).
PyObject* NewFilled(PyTypeObject* cls, const KindRow* row, PyObject* values) {
  if (values != nullptr && TakesAsBytes(row, values)) {
    if (!IsSequence(values)) {
      // Refused here, so that the message is the package's; a sequence's own
      // buffer is always contiguous.
      PinnedItems pinned;
      if (!pinned.AcquireBytes(values, row->name)) return nullptr;
    }
    const int64_t fresh = Flat().Slice_byte_from_bytes(values);
    if (PyErr_Occurred()) {
      ReleaseFresh(fresh);
      return nullptr;
    }
    return NewSequence(cls, row, fresh);
  }
  if (PyErr_Occurred()) return nullptr;
  FreshHandle fresh(row->ctor());
  if (PyErr_Occurred()) return nullptr;
  if (values != nullptr && !row->extend(fresh.get(), values, Fill::kDirect)) return nullptr;
  return NewSequence(cls, row, fresh.Take());
}

PyObject* SequenceNew(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"values", nullptr};
  PyObject* values = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:sequence", keywords, &values)) {
    return nullptr;
  }
  const KindRow* row = RowOfClass(cls);
  if (row == nullptr) return nullptr;
  return NewFilled(cls, row, values);
}

// ---- Positions ----------------------------------------------------------------

bool RaiseOutOfReach(const char* what, PyObject* value) {
  PyObject* shown = ReprForMessage(value);
  if (shown == nullptr) return false;
  PyErr_Format(PyExc_IndexError,
               "%s %U is out of reach: sequence positions cross the library as 32-bit "
               "integers, so they must be below 2**31",
               what, shown);
  Py_DECREF(shown);
  return false;
}

PyObject* RaiseBadIndex(PyObject* key) {
  PyErr_Format(PyExc_TypeError, "sequence indices must be integers or slices, not %.200s",
               Py_TYPE(key)->tp_name);
  return nullptr;
}

// The position that `index` (an object with __index__) names, counting from
// the end when negative; false with IndexError when there is none or it is
// out of reach.
bool Position(const KindRow* row, int64_t handle, PyObject* index, int64_t& position) {
  PyObject* integer = PyNumber_Index(index);
  if (integer == nullptr) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  bool ok = !(value == -1 && PyErr_Occurred());
  if (ok && (overflow > 0 || (overflow == 0 && value >= kPositionLimit))) {
    ok = RaiseOutOfReach("index", integer);
  } else if (ok && (overflow < 0 || value < 0)) {
    const int64_t length = row->len(handle);
    if (PyErr_Occurred()) {
      ok = false;
    } else if (overflow < 0 || value < -length) {
      PyObject* shown = ReprForMessage(integer);
      if (shown != nullptr) {
        PyErr_Format(PyExc_IndexError, "index %U out of range for length %lld", shown,
                     static_cast<long long>(length));
        Py_DECREF(shown);
      }
      ok = false;
    } else {
      value += length;
      if (value >= kPositionLimit) ok = RaiseOutOfReach("index", integer);
    }
  }
  Py_DECREF(integer);
  position = value;
  return ok;
}

// A small non-negative int: the index of most calls, which the flat function
// bounds by itself.
bool DirectPosition(PyObject* key, int64_t& position) {
  if (!PyLong_CheckExact(key)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
  position = value;
  return overflow == 0 && value >= 0 && value < kPositionLimit;
}

// ---- Slots ----------------------------------------------------------------------

Py_ssize_t Length(PyObject* self) {
  const KindRow* row = RowOf(self);
  if (row == nullptr) return -1;
  const int64_t length = row->len(HandleOfSequence(self));
  return PyErr_Occurred() ? -1 : static_cast<Py_ssize_t>(length);
}

// A view sharing storage: a slice of step 1.
PyObject* View(PyObject* self, const KindRow* row, int64_t handle, PyObject* slice) {
  Py_ssize_t start = 0, stop = 0, step = 0;
  if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return nullptr;
  const int64_t length = row->len(handle);
  if (PyErr_Occurred()) return nullptr;
  PySlice_AdjustIndices(static_cast<Py_ssize_t>(length), &start, &stop, step);
  if (step != 1) {
    PyErr_SetString(PyExc_ValueError,
                    "a slice shares storage with its sequence, so its step must be 1; "
                    "use list(seq)[a:b:step] for a copy");
    return nullptr;
  }
  stop = std::max(start, stop);
  if (stop >= kPositionLimit) {
    PyObject* bound = PyLong_FromSsize_t(stop);
    if (bound != nullptr) {
      RaiseOutOfReach("slice bound", bound);
      Py_DECREF(bound);
    }
    return nullptr;
  }
  const int64_t fresh = row->subslice(handle, start, stop);
  if (PyErr_Occurred()) {
    ReleaseFresh(fresh);
    return nullptr;
  }
  return NewSequence(Py_TYPE(self), row, fresh);
}

PyObject* Subscript(PyObject* self, PyObject* key) {
  const KindRow* row = RowOf(self);
  if (row == nullptr) return nullptr;
  const int64_t handle = HandleOfSequence(self);
  int64_t position = 0;
  if (DirectPosition(key, position)) return row->get(handle, position);
  if (PyIndex_Check(key)) {
    if (!Position(row, handle, key, position)) return nullptr;
    return row->get(handle, position);
  }
  if (PySlice_Check(key)) return View(self, row, handle, key);
  return RaiseBadIndex(key);
}

int RefuseDeletion() {
  PyErr_SetString(PyExc_TypeError, "sequence items cannot be deleted: a sequence only grows");
  return -1;
}

int AssignSubscript(PyObject* self, PyObject* key, PyObject* value) {
  if (value == nullptr) return RefuseDeletion();
  if (PySlice_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "slice assignment is not supported; assign items");
    return -1;
  }
  const KindRow* row = RowOf(self);
  if (row == nullptr) return -1;
  const int64_t handle = HandleOfSequence(self);
  int64_t position = 0;
  if (!DirectPosition(key, position)) {
    if (!PyIndex_Check(key)) {
      RaiseBadIndex(key);
      return -1;
    }
    if (!Position(row, handle, key, position)) return -1;
  }
  return row->set(handle, position, value) ? 0 : -1;
}

// Through the sequence protocol (PySequence_GetItem, reversed()), where a
// negative index has already been counted from the end.
bool ItemPosition(Py_ssize_t index) {
  if (index < 0) {
    PyErr_SetString(PyExc_IndexError, "sequence index out of range");
    return false;
  }
  if (index >= kPositionLimit) {
    PyObject* shown = PyLong_FromSsize_t(index);
    if (shown != nullptr) {
      RaiseOutOfReach("index", shown);
      Py_DECREF(shown);
    }
    return false;
  }
  return true;
}

PyObject* Item(PyObject* self, Py_ssize_t index) {
  const KindRow* row = RowOf(self);
  if (row == nullptr || !ItemPosition(index)) return nullptr;
  return row->get(HandleOfSequence(self), index);
}

int AssignItem(PyObject* self, Py_ssize_t index, PyObject* value) {
  if (value == nullptr) return RefuseDeletion();
  const KindRow* row = RowOf(self);
  if (row == nullptr || !ItemPosition(index)) return -1;
  return row->set(HandleOfSequence(self), index, value) ? 0 : -1;
}

// Calls `visit(i, element)` for the elements in [start, stop) of the length
// read at the start, until it returns other than 0; returns that, or 0 at
// the end, or -1 with the exception set.
template <class Visitor>
int ForEach(PyObject* self, Py_ssize_t start, Py_ssize_t stop, Visitor&& visit) {
  const KindRow* row = RowOf(self);
  if (row == nullptr) return -1;
  const int64_t handle = HandleOfSequence(self);
  const int64_t length = row->len(handle);
  if (PyErr_Occurred()) return -1;
  if (start < 0) start = std::max<Py_ssize_t>(start + length, 0);
  if (stop < 0) stop = std::max<Py_ssize_t>(stop + length, 0);
  stop = std::min<Py_ssize_t>(stop, length);
  for (Py_ssize_t i = start; i < stop; ++i) {
    PyObject* element = row->get(handle, i);
    if (element == nullptr) return -1;
    const int result = visit(i, element);
    Py_DECREF(element);
    if (result != 0) return result;
  }
  return 0;
}

int Contains(PyObject* self, PyObject* value) {
  return ForEach(self, 0, PY_SSIZE_T_MAX, [value](Py_ssize_t, PyObject* element) {
    return PyObject_RichCompareBool(element, value, Py_EQ);
  });
}

// A bound of index() as list.index takes it: any object with __index__,
// clamped to the range of Py_ssize_t.
int ClampedBound(PyObject* object, void* out) {
  const Py_ssize_t value = PyNumber_AsSsize_t(object, nullptr);
  if (value == -1 && PyErr_Occurred()) return 0;
  *static_cast<Py_ssize_t*>(out) = value;
  return 1;
}

PyObject* IndexOf(PyObject* self, PyObject* args) {
  PyObject* value = nullptr;
  Py_ssize_t start = 0, stop = PY_SSIZE_T_MAX;
  if (!PyArg_ParseTuple(args, "O|O&O&:index", &value, ClampedBound, &start, ClampedBound, &stop)) {
    return nullptr;
  }
  Py_ssize_t found = -1;
  const int result = ForEach(self, start, stop, [&](Py_ssize_t i, PyObject* element) {
    const int equal = PyObject_RichCompareBool(element, value, Py_EQ);
    if (equal > 0) found = i;
    return equal;
  });
  if (result < 0) return nullptr;
  if (found >= 0) return PyLong_FromSsize_t(found);
  PyObject* shown = ReprForMessage(value);
  if (shown != nullptr) {
    PyErr_Format(PyExc_ValueError, "%U is not in the sequence", shown);
    Py_DECREF(shown);
  }
  return nullptr;
}

PyObject* Count(PyObject* self, PyObject* value) {
  Py_ssize_t count = 0;
  const int result = ForEach(self, 0, PY_SSIZE_T_MAX, [&](Py_ssize_t, PyObject* element) {
    const int equal = PyObject_RichCompareBool(element, value, Py_EQ);
    count += equal > 0;
    return equal < 0 ? -1 : 0;
  });
  return result < 0 ? nullptr : PyLong_FromSsize_t(count);
}

PyObject* AppendMethod(PyObject* self, PyObject* value) {
  const KindRow* row = RowOf(self);
  if (row == nullptr || !row->append(HandleOfSequence(self), value)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* ExtendMethod(PyObject* self, PyObject* values) {
  const KindRow* row = RowOf(self);
  if (row == nullptr || !row->extend(HandleOfSequence(self), values, Fill::kStaged)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Every element in a new list.
PyObject* ToList(const KindRow* row, int64_t handle) {
  const int64_t length = row->len(handle);
  if (PyErr_Occurred()) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(length));
  if (list == nullptr) return nullptr;
  for (int64_t i = 0; i < length; ++i) {
    PyObject* element = row->get(handle, i);
    if (element == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), element);
  }
  return list;
}

// The contents as a repr, a pickle or a comparison sees them: bytes for the
// byte kinds, a list otherwise.
PyObject* Contents(PyObject* self, const KindRow* row) {
  const int64_t handle = HandleOfSequence(self);
  if (row->bytes_like) return Flat().Slice_byte_to_bytes(handle);
  return ToList(row, handle);
}

PyObject* Repr(PyObject* self) {
  const KindRow* row = RowOf(self);
  if (row == nullptr) return nullptr;
  PyObject* contents = Contents(self, row);
  if (contents == nullptr) return nullptr;
  // Kind names are plain identifiers: quoted, they are their own repr.
  PyObject* repr = PyUnicode_FromFormat("sequence('%s', %R)", row->name, contents);
  Py_DECREF(contents);
  return repr;
}

// Copies and pickles rebuild through alphabet.sequence(kind, contents),
// with storage and a handle of their own.
PyObject* Reduce(PyObject* self, PyObject*) {
  const KindRow* row = RowOf(self);
  if (row == nullptr) return nullptr;
  PyObject* module = PyImport_ImportModule("alphabet._sequences");
  if (module == nullptr) return nullptr;
  PyObject* factory = PyObject_GetAttrString(module, "sequence");
  Py_DECREF(module);
  if (factory == nullptr) return nullptr;
  PyObject* contents = Contents(self, row);
  if (contents == nullptr) {
    Py_DECREF(factory);
    return nullptr;
  }
  return Py_BuildValue("(N(sN))", factory, row->name, contents);
}

PyObject* CompareContents(PyObject* mine, PyObject* theirs, int op) {
  PyObject* result =
      mine == nullptr || theirs == nullptr ? nullptr : PyObject_RichCompare(mine, theirs, op);
  Py_XDECREF(mine);
  Py_XDECREF(theirs);
  return result;
}

// == and != with lists and other sequences, element by element; byte kinds
// also with bytes and bytearray.
PyObject* Compare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  const KindRow* row = RowOf(self);
  if (row == nullptr) return nullptr;
  const int64_t handle = HandleOfSequence(self);
  if (row->bytes_like && (PyBytes_Check(other) || PyByteArray_Check(other))) {
    return CompareContents(Flat().Slice_byte_to_bytes(handle), Py_NewRef(other), op);
  }
  const bool other_is_sequence = IsSequence(other);
  if (!other_is_sequence && !PyList_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  const KindRow* other_row = other_is_sequence ? RowOf(other) : nullptr;
  if (other_is_sequence && other_row == nullptr) return nullptr;
  const int64_t other_handle = other_is_sequence ? HandleOfSequence(other) : 0;
  const int64_t length = row->len(handle);
  if (PyErr_Occurred()) return nullptr;
  const int64_t other_length =
      other_is_sequence ? other_row->len(other_handle) : PyList_GET_SIZE(other);
  if (PyErr_Occurred()) return nullptr;
  // Unequal lengths need no element read.
  if (length != other_length) return PyBool_FromLong(op == Py_NE);
  if (other_is_sequence && row->bytes_like && other_row->bytes_like) {
    PyObject* mine = Flat().Slice_byte_to_bytes(handle);
    if (mine == nullptr) return nullptr;
    return CompareContents(mine, Flat().Slice_byte_to_bytes(other_handle), op);
  }
  PyObject* mine = ToList(row, handle);
  if (mine == nullptr) return nullptr;
  return CompareContents(
      mine, other_is_sequence ? ToList(other_row, other_handle) : Py_NewRef(other), op);
}

// ---- The buffer: a private, read-only copy ---------------------------------------

// Allocated per export; the items follow it, unless the copy is a bytes
// object (the byte kinds, copied in one call).
struct alignas(16) ExportBlock {
  Py_ssize_t shape;
  Py_ssize_t stride;
  PyObject* bytes;
};

int GetBuffer(PyObject* self, Py_buffer* view, int flags) {
  view->obj = nullptr;
  const KindRow* row = RowOf(self);
  if (row == nullptr) return -1;
  if (row->itemsize == 0) {
    PyErr_Format(PyExc_TypeError, "%s %s sequence offers no buffer: its elements are texts",
                 Article(row->name), row->name);
    return -1;
  }
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError,
                    "a sequence's buffer is a read-only copy; write through the sequence");
    return -1;
  }
  const int64_t handle = HandleOfSequence(self);
  ExportBlock* block = nullptr;
  const char* items = nullptr;
  Py_ssize_t count = 0;
  if (row->bytes_like) {
    PyObject* bytes = Flat().Slice_byte_to_bytes(handle);
    if (bytes == nullptr) return -1;
    block = static_cast<ExportBlock*>(std::malloc(sizeof(ExportBlock)));
    if (block == nullptr) {
      Py_DECREF(bytes);
      PyErr_NoMemory();
      return -1;
    }
    block->bytes = bytes;
    items = PyBytes_AS_STRING(bytes);
    count = PyBytes_GET_SIZE(bytes);
  } else {
    const int64_t length = row->len(handle);
    if (PyErr_Occurred()) return -1;
    if (length > (PY_SSIZE_T_MAX - static_cast<Py_ssize_t>(sizeof(ExportBlock))) / row->itemsize) {
      PyErr_NoMemory();
      return -1;
    }
    block = static_cast<ExportBlock*>(
        std::malloc(sizeof(ExportBlock) + static_cast<size_t>(length * row->itemsize)));
    if (block == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    block->bytes = nullptr;
    char* copy = reinterpret_cast<char*>(block + 1);
    if (!row->export_items(handle, copy, length)) {
      std::free(block);
      return -1;
    }
    items = copy;
    count = static_cast<Py_ssize_t>(length);
  }
  block->shape = count;
  block->stride = row->itemsize;
  view->obj = Py_NewRef(self);
  view->buf = const_cast<char*>(items);
  view->len = count * row->itemsize;
  view->readonly = 1;
  view->itemsize = row->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(row->format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &block->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &block->stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = block;
  return 0;
}

void ReleaseBuffer(PyObject*, Py_buffer* view) {
  auto* block = static_cast<ExportBlock*>(view->internal);
  Py_XDECREF(block->bytes);
  std::free(block);
}

// ---- The iterator -------------------------------------------------------------------

struct IteratorObject {
  PyObject_HEAD PyObject* sequence;  // kept alive while iterating; null once exhausted
  const KindRow* row;
  int64_t handle;
  int64_t next;
  int64_t end;  // the length when iteration began
};

IteratorObject* AsIterator(PyObject* object) { return reinterpret_cast<IteratorObject*>(object); }

PyObject* Iter(PyObject* self) {
  const KindRow* row = RowOf(self);
  if (row == nullptr) return nullptr;
  const int64_t handle = HandleOfSequence(self);
  // Read once: elements appended while iterating are not visited.
  const int64_t length = row->len(handle);
  if (PyErr_Occurred()) return nullptr;
  IteratorObject* iterator = PyObject_GC_New(IteratorObject, iterator_type);
  if (iterator == nullptr) return nullptr;
  iterator->sequence = Py_NewRef(self);
  iterator->row = row;
  iterator->handle = handle;
  iterator->next = 0;
  iterator->end = length;
  PyObject_GC_Track(iterator);
  return reinterpret_cast<PyObject*>(iterator);
}

PyObject* IteratorNext(PyObject* self) {
  IteratorObject* iterator = AsIterator(self);
  if (iterator->sequence == nullptr) return nullptr;
  if (iterator->next >= iterator->end) {
    Py_CLEAR(iterator->sequence);
    return nullptr;
  }
  return iterator->row->get(iterator->handle, iterator->next++);
}

PyObject* IteratorLengthHint(PyObject* self, PyObject*) {
  const IteratorObject* iterator = AsIterator(self);
  const int64_t left = iterator->sequence == nullptr ? 0 : iterator->end - iterator->next;
  return PyLong_FromLongLong(left);
}

int IteratorTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(AsIterator(self)->sequence);
  return 0;
}

int IteratorClear(PyObject* self) {
  Py_CLEAR(AsIterator(self)->sequence);
  return 0;
}

void IteratorDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  IteratorClear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

// ---- Type objects ----------------------------------------------------------------------

#define METHOD(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function))

PyMethodDef iterator_methods[] = {
    {"__length_hint__", METHOD(IteratorLengthHint), METH_NOARGS,
     "The number of elements left to visit."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&IteratorDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&IteratorTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&IteratorClear)},
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&IteratorNext)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "alphabet._native.SequenceIterator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iterator_slots,
};

PyMethodDef sequence_methods[] = {
    {"append", METHOD(AppendMethod), METH_O,
     "append($self, value, /)\n--\n\nAdds value at the end."},
    {"extend", METHOD(ExtendMethod), METH_O,
     "extend($self, values, /)\n--\n\n"
     "Appends every item of values (a sequence, list, tuple, iterable or buffer)\n"
     "in order.  Either every item is appended or, when one is refused, none;\n"
     "seq.extend(seq) doubles seq."},
    {"index", METHOD(IndexOf), METH_VARARGS,
     "index($self, value, start=0, stop=sys.maxsize, /)\n--\n\n"
     "The first position of value within [start, stop); ValueError when absent."},
    {"count", METHOD(Count), METH_O,
     "count($self, value, /)\n--\n\nThe number of elements equal to value."},
    {"__reduce__", METHOD(Reduce), METH_NOARGS,
     "Copies and pickles rebuild through alphabet.sequence(kind, contents)."},
    {"__class_getitem__", METHOD(Py_GenericAlias), METH_O | METH_CLASS,
     "Sequence[T] in annotations."},
    {nullptr, nullptr, 0, nullptr},
};

#undef METHOD

PyType_Slot sequence_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&SequenceNew)},
    {Py_tp_repr, reinterpret_cast<void*>(&Repr)},
    {Py_tp_iter, reinterpret_cast<void*>(&Iter)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&Compare)},
    {Py_tp_methods, sequence_methods},
    {Py_sq_length, reinterpret_cast<void*>(&Length)},
    {Py_sq_item, reinterpret_cast<void*>(&Item)},
    {Py_sq_ass_item, reinterpret_cast<void*>(&AssignItem)},
    {Py_sq_contains, reinterpret_cast<void*>(&Contains)},
    {Py_mp_subscript, reinterpret_cast<void*>(&Subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(&AssignSubscript)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&GetBuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(&ReleaseBuffer)},
    {Py_tp_doc,
     const_cast<char*>("SequenceBase(values=())\n--\n\n"
                       "A typed sequence of the library, owned by this object: the base of the\n"
                       "package's sequence classes, each of which names its kind in `kind`.")},
    {0, nullptr},
};

PyType_Spec sequence_spec = {
    "alphabet._native.SequenceBase",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_SEQUENCE,
    sequence_slots,
};

}  // namespace

bool AddSequences(PyObject* module) {
  if (sequence_type == nullptr) {
    sequence_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromSpecWithBases(&sequence_spec, reinterpret_cast<PyObject*>(HeldType())));
    if (sequence_type == nullptr) return false;
  }
  if (iterator_type == nullptr) {
    iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iterator_spec));
    if (iterator_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "SequenceBase",
                               reinterpret_cast<PyObject*>(sequence_type)) == 0;
}

}  // namespace native
