// One walk over the items of a list, a tuple or any other iterable, for the
// bulk calls that take Python objects one by one.
#ifndef ALPHABET_NATIVE_COMMON_ITEMS_H_
#define ALPHABET_NATIVE_COMMON_ITEMS_H_

#include <Python.h>

#include "native/common/ref.h"

namespace native {

// How far ahead a walk over a list touches the items to come, when asked to:
// the items of a list may lie anywhere in memory (a shuffled list, say), and
// each would otherwise cost a cache miss (encoding a shuffled list of strs
// runs about five times faster for it).
inline constexpr Py_ssize_t kPrefetchAhead = 16;

// Calls `visit(item, position)` for each item in order until it returns
// false; returns whether every item was visited and the iteration itself
// raised nothing.  A list or a tuple is walked in place and `item` is
// borrowed: `visit` takes a reference of its own before it runs Python code,
// since that code may change the list, whose size is therefore read afresh
// for each item.  `count`, when given, receives the number of items once all are visited.
// References are let go of even when `visit` throws.
template <bool kPrefetch = false, class Visit>
bool ForEachItem(PyObject* items, Visit&& visit, Py_ssize_t* count = nullptr) {
  Py_ssize_t position = 0;
  if (PyList_Check(items) || PyTuple_Check(items)) {
    for (; position < PySequence_Fast_GET_SIZE(items); ++position) {
      PyObject** listed = PySequence_Fast_ITEMS(items);
      if constexpr (kPrefetch) {
        if (position + kPrefetchAhead < PySequence_Fast_GET_SIZE(items)) {
          const char* ahead = reinterpret_cast<const char*>(listed[position + kPrefetchAhead]);
          __builtin_prefetch(ahead);
          __builtin_prefetch(ahead + 48);
        }
      }
      if (!visit(listed[position], position)) return false;
    }
    if (count != nullptr) *count = position;
    return true;
  }
  const Ref iterator(PyObject_GetIter(items));
  if (!iterator) return false;
  while (true) {
    const Ref item(PyIter_Next(iterator.get()));
    if (!item) break;
    if (!visit(item.get(), position)) return false;
    ++position;
  }
  if (PyErr_Occurred()) return false;
  if (count != nullptr) *count = position;
  return true;
}

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_ITEMS_H_
