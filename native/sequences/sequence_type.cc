#include "native/sequences/sequence_type.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "native/common/errors.h"
#include "native/common/flat_api.h"
#include "native/common/methods.h"
#include "native/common/ref.h"
#include "native/sequences/kind_rows.h"
#include "native/sequences/sequence_values.h"

namespace native {
namespace {

PyTypeObject* sequence_type = nullptr;
PyTypeObject* iterator_type = nullptr;

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

// ---- Positions

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

// ---- Slots

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

// ---- The buffer: a private, read-only copy

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

// ---- The iterator

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

// ---- Type objects

PyMethodDef iterator_methods[] = {
    {"__length_hint__", AsMethod(&IteratorLengthHint), METH_NOARGS,
     "The number of elements left to visit."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, AsSlot(&IteratorDealloc)},
    {Py_tp_traverse, AsSlot(&IteratorTraverse)},
    {Py_tp_clear, AsSlot(&IteratorClear)},
    {Py_tp_iter, AsSlot(&PyObject_SelfIter)},
    {Py_tp_iternext, AsSlot(&IteratorNext)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyMethodDef sequence_methods[] = {
    {"append", AsMethod(&AppendMethod), METH_O,
     "append($self, value, /)\n--\n\nAdds value at the end."},
    {"extend", AsMethod(&ExtendMethod), METH_O,
     "extend($self, values, /)\n--\n\n"
     "Appends every item of values (a sequence, list, tuple, iterable or buffer)\n"
     "in order.  Either every item is appended or, when one is refused, none;\n"
     "seq.extend(seq) doubles seq."},
    {"index", AsMethod(&IndexOf), METH_VARARGS,
     "index($self, value, start=0, stop=sys.maxsize, /)\n--\n\n"
     "The first position of value within [start, stop); ValueError when absent."},
    {"count", AsMethod(&Count), METH_O,
     "count($self, value, /)\n--\n\nThe number of elements equal to value."},
    {"__reduce__", AsMethod(&Reduce), METH_NOARGS,
     "Copies and pickles rebuild through alphabet.sequence(kind, contents)."},
    {"__class_getitem__", AsMethod(&Py_GenericAlias), METH_O | METH_CLASS,
     "Sequence[T] in annotations."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_new, AsSlot(&SequenceNew)},
    {Py_tp_repr, AsSlot(&Repr)},
    {Py_tp_iter, AsSlot(&Iter)},
    {Py_tp_richcompare, AsSlot(&Compare)},
    {Py_tp_methods, sequence_methods},
    {Py_sq_length, AsSlot(&Length)},
    {Py_sq_item, AsSlot(&Item)},
    {Py_sq_ass_item, AsSlot(&AssignItem)},
    {Py_sq_contains, AsSlot(&Contains)},
    {Py_mp_subscript, AsSlot(&Subscript)},
    {Py_mp_ass_subscript, AsSlot(&AssignSubscript)},
    {Py_bf_getbuffer, AsSlot(&GetBuffer)},
    {Py_bf_releasebuffer, AsSlot(&ReleaseBuffer)},
    {Py_tp_doc,
     const_cast<char*>("SequenceBase(values=())\n--\n\n"
                       "A typed sequence of the library, owned by this object: the base of the\n"
                       "package's sequence classes, each of which names its kind in `kind`.")},
    {0, nullptr},
};

}  // namespace

bool IsSequence(PyObject* object) { return PyObject_TypeCheck(object, sequence_type); }

bool AddSequences(PyObject* module) {
  return AddType(module, "SequenceBase",
                 {.name = "alphabet._native.SequenceBase",
                  .basicsize = sizeof(SequenceObject),
                  .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_SEQUENCE,
                  .slots = sequence_slots,
                  .base = HeldType()},
                 sequence_type) &&
         AddType(
             module, nullptr,
             {.name = "alphabet._native.SequenceIterator",
              .basicsize = sizeof(IteratorObject),
              .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
              .slots = iterator_slots},
             iterator_type);
}

}  // namespace native
