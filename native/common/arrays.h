// alphabet._native.Array: a C-contiguous array of one to three dimensions
// that native code fills, handed to Python through the buffer protocol, so
// that numpy.asarray(array) and memoryview(array) read it without a copy.
// The results of several dimensions (padded batches of codes, one-hot rows)
// are Arrays: numpy stays optional, and a zero-length dimension is as valid
// as any other (which memoryview.cast refuses to make).
//
// Made with the interpreter lock held; its memory may then be filled with the
// lock released, before anyone else can see the object.  Its buffer is
// writable: the array belongs to its caller, like a numpy array.
#ifndef ALPHABET_NATIVE_COMMON_ARRAYS_H_
#define ALPHABET_NATIVE_COMMON_ARRAYS_H_

#include <Python.h>

#include <cstddef>
#include <initializer_list>

namespace native {

inline constexpr int kMaxArrayDimensions = 3;

// A new Array of the struct format `format` (one item: "B", "q", "f", ...),
// `itemsize` bytes per item and the given shape; its memory, not cleared, in
// `data`.  Null with MemoryError (or ValueError for a bad shape) set.
PyObject* NewArray(const char* format, size_t itemsize, std::initializer_list<size_t> shape,
                   void*& data);

bool AddArrays(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_ARRAYS_H_
