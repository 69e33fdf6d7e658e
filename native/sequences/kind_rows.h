// The sequence kinds as the package's sequence type reaches them: one
// constant descriptor row per line of sequences/kinds.def, holding the
// kind's flat functions, its buffer item, and the package's conversion of
// Python values to the flat form and back (sequence_values.h), and the
// sequence objects that point at their row.
#ifndef ALPHABET_NATIVE_SEQUENCES_KIND_ROWS_H_
#define ALPHABET_NATIVE_SEQUENCES_KIND_ROWS_H_

#include <Python.h>

#include <cstdint>

#include "native/common/item_format.h"
#include "native/objects/held.h"

namespace native {

// Positions cross _alphabet's methods as 32-bit ints; the package refuses
// the same positions, so that an index means one thing through either face.
inline constexpr int64_t kPositionLimit = int64_t{1} << 31;

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

struct SequenceObject {
  HeldObject held;
  const KindRow* row;  // null until first use in an instance made by adopt()
};

inline SequenceObject* AsSequence(PyObject* object) {
  return reinterpret_cast<SequenceObject*>(object);
}
inline int64_t HandleOfSequence(PyObject* object) { return AsSequence(object)->held.handle; }

// Whether `object` is an instance of SequenceBase (sequence_type.cc).
bool IsSequence(PyObject* object);

// Long native loops look for signals (Ctrl-C) once per 65536 elements:
// false when a handler raised.
bool CheckSignals(int64_t done);

// The row that `cls.kind` names; null with TypeError when it names none.
const KindRow* RowOfClass(PyTypeObject* cls);

// The row of a sequence object; null with the exception set when its class
// names no kind.
const KindRow* RowOf(PyObject* sequence);

// A new instance of `cls` owning `fresh`, a handle of `row`'s kind that a
// flat call has just registered; the entry is released on failure.
PyObject* NewSequence(PyTypeObject* cls, const KindRow* row, int64_t fresh);

// A new sequence of `row`'s kind holding `values` (none when null).
PyObject* NewFilled(PyTypeObject* cls, const KindRow* row, PyObject* values);

}  // namespace native

#endif  // ALPHABET_NATIVE_SEQUENCES_KIND_ROWS_H_
