#include "native/sequences/kind_rows.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "native/common/buffers.h"
#include "native/common/flat_api.h"
#include "native/common/guard.h"
#include "native/common/ref.h"
#include "native/sequences/sequence_values.h"

namespace native {
namespace {

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

// ---- Buffers coming in

// "int32", "uint8", "float64", "bool": the items a kind's buffers hold.
PyObject* ItemName(ItemClass item_class, Py_ssize_t size) {
  switch (item_class) {
    case ItemClass::kSigned: return PyUnicode_FromFormat("int%zd", size * 8);
    case ItemClass::kUnsigned: return PyUnicode_FromFormat("uint%zd", size * 8);
    case ItemClass::kFloat: return PyUnicode_FromFormat("float%zd", size * 8);
    default: return PyUnicode_FromString("bool");
  }
}

bool RefuseGaps(PyObject* values, const char* kind) {
  PyErr_Format(PyExc_TypeError,
               "%s %s sequence takes a C-contiguous buffer; this %.200s has gaps between its "
               "items (a strided view: copy it first)",
               Article(kind), kind, Py_TYPE(values)->tp_name);
  return false;
}

// Byte kinds take any C-contiguous bytes-like object, as raw bytes.  The
// buffer stays pinned for the length of a fill: the exporter may not move or
// resize it meanwhile, whatever Python code a signal handler runs.
bool PinBytes(PyObject* values, const char* kind, PinnedBuffer& pinned) {
  if (!pinned.Pin(values, PyBUF_RECORDS_RO)) return false;
  return pinned.c_contiguous() || RefuseGaps(values, kind);
}

// Other kinds take one-dimensional C-contiguous items of their own type, in
// this machine's byte order.
bool PinItems(PyObject* values, const char* kind, ItemClass item_class, Py_ssize_t itemsize,
              const char* format, PinnedBuffer& pinned) {
  if (!pinned.Pin(values, PyBUF_RECORDS_RO)) return false;
  const Py_buffer& view = pinned.view();
  ItemFormat type{};
  if (!ParseItemFormat(view.format, type) || type.foreign_order || type.item_class != item_class ||
      type.size != static_cast<size_t>(itemsize) || view.itemsize != itemsize) {
    const Ref expected(ItemName(item_class, itemsize));
    if (!expected) return false;
    PyErr_Format(PyExc_TypeError,
                 "%s %s sequence takes a buffer of %U items (format '%s'), not one of format "
                 "'%.20s'",
                 Article(kind), kind, expected.get(), format, pinned.format());
    return false;
  }
  if (view.ndim != 1) {
    PyErr_Format(PyExc_TypeError,
                 "%s %s sequence takes a one-dimensional buffer; this %.200s has %d "
                 "dimensions",
                 Article(kind), kind, Py_TYPE(values)->tp_name, view.ndim);
    return false;
  }
  return pinned.c_contiguous() || RefuseGaps(values, kind);
}

// ---- The kinds

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
      return Guarded([&] {
        staged_.reserve(static_cast<size_t>(count));
        return true;
      });
    }
    // Takes `value` over.
    bool Put(Value& value) {
      if (PushBack(staged_, value)) return true;
      Values::Drop(value);
      return false;
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
      PinnedBuffer pinned;
      const bool acquired =
          kBytesLike ? PinBytes(values, K::kName, pinned)
                     : PinItems(values, K::kName, Values::kItemClass, ItemSize(), Format(), pinned);
      if (!acquired) return false;
      const auto count = static_cast<Py_ssize_t>(pinned.bytes() / sizeof(Item));
      const auto* items = static_cast<const char*>(pinned.data());
      if (!sink.Reserve(count)) return false;
      for (Py_ssize_t i = 0; i < count; ++i) {
        Item item;
        std::memcpy(&item, items + i * sizeof(Item), sizeof(Item));
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

// ---- Finding a kind

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

// A bytes-like object, or a byte sequence, that a byte kind copies in one
// call.
bool TakesAsBytes(const KindRow* row, PyObject* values) {
  if (!row->bytes_like || !PyObject_CheckBuffer(values)) return false;
  if (!IsSequence(values)) return true;
  const KindRow* source = RowOf(values);
  return source != nullptr && source->bytes_like;
}

}  // namespace

constexpr int64_t kSignalMask = (int64_t{1} << 16) - 1;

bool CheckSignals(int64_t done) {
  return (done & kSignalMask) != kSignalMask || PyErr_CheckSignals() == 0;
}

const KindRow* RowOfClass(PyTypeObject* cls) {
  PyObject* kind = nullptr;
  if (PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(cls), "kind", &kind) < 0) {
    return nullptr;
  }
  const Ref held_kind(kind);
  const KindRow* row = kind == nullptr ? nullptr : RowNamed(kind);
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

// ---- Making sequences

PyObject* NewSequence(PyTypeObject* cls, const KindRow* row, int64_t fresh) {
  PyObject* object = AdoptFresh(cls, fresh);
  if (object != nullptr) AsSequence(object)->row = row;
  return object;
}

PyObject* NewFilled(PyTypeObject* cls, const KindRow* row, PyObject* values) {
  if (values != nullptr && TakesAsBytes(row, values)) {
    if (!IsSequence(values)) {
      // Refused here, so that the message is the package's; a sequence's own
      // buffer is always contiguous.
      PinnedBuffer pinned;
      if (!PinBytes(values, row->name, pinned)) return nullptr;
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

}  // namespace native
