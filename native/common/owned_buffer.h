// Memory that native code fills, with or without the interpreter lock, and
// then hands to Python whole, without a copy.
//
// A GrowingBuffer is a block from malloc that grows as it is filled (any
// thread may fill it; none may share it).  NewBuffer gives its memory to an
// alphabet._native.BatchBuffer: a read-only object with the buffer protocol,
// typed by a struct format ("B", "H", "I" or "q"), which frees the memory
// when the last export and reference are gone.  numpy.asarray, memoryview
// and pyarrow.py_buffer read it in place.
#ifndef ALPHABET_NATIVE_COMMON_OWNED_BUFFER_H_
#define ALPHABET_NATIVE_COMMON_OWNED_BUFFER_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace native {

class GrowingBuffer {
 public:
  GrowingBuffer() = default;
  ~GrowingBuffer();
  GrowingBuffer(const GrowingBuffer&) = delete;
  GrowingBuffer& operator=(const GrowingBuffer&) = delete;

  // `bytes` more bytes at the end, not cleared, for the caller to write;
  // throws std::bad_alloc when there is no memory for them (the guards of
  // guard.h turn that into MemoryError).
  uint8_t* Extend(size_t bytes);
  // Room for `bytes` bytes in all, so that filling that many moves nothing;
  // throws std::bad_alloc as Extend.
  void Reserve(size_t bytes);
  // Forgets the bytes from `size` on (size <= size()).
  void Truncate(size_t size) { size_ = size; }
  void Clear() { size_ = 0; }

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  friend PyObject* NewBuffer(GrowingBuffer& memory, char format);
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A Buffer of `memory`'s bytes as items of `format` (one of "BHIQq"); the
// memory is handed over and `memory` left empty.  Null with the exception
// set on failure, `memory` then unchanged.
PyObject* NewBuffer(GrowingBuffer& memory, char format);

// The memory of a Buffer made by NewBuffer (null for anything else).
const void* BufferData(PyObject* buffer);

// Adds Buffer to the module.
bool AddOwnedBuffers(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_OWNED_BUFFER_H_
