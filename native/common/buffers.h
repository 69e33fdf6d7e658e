// Buffers crossing the boundary: exports pinned while native code reads
// them, and new bytes-like results made to be written by native code.
//
// Everything here runs with the interpreter lock held.  What a PinnedBuffer
// pins stays valid, unchanged in size, until it is let go, so that a kernel
// may then work on the memory with the lock released.
#ifndef ALPHABET_NATIVE_COMMON_BUFFERS_H_
#define ALPHABET_NATIVE_COMMON_BUFFERS_H_

#include <Python.h>

#include <cstddef>

namespace native {

// A buffer export held for the life of this object (or until Release).
class PinnedBuffer {
 public:
  PinnedBuffer() = default;
  ~PinnedBuffer() { Release(); }
  PinnedBuffer(const PinnedBuffer&) = delete;
  PinnedBuffer& operator=(const PinnedBuffer&) = delete;

  // Exports `object`'s buffer (flags as PyObject_GetBuffer's); false with
  // the exporter's exception when it has none or refuses.
  bool Pin(PyObject* object, int flags);
  void Release();

  bool c_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') != 0; }
  const Py_buffer& view() const { return view_; }
  void* data() const { return view_.buf; }
  size_t bytes() const { return static_cast<size_t>(view_.len); }
  size_t items() const {
    return view_.itemsize > 0 ? static_cast<size_t>(view_.len / view_.itemsize) : 0;
  }
  // The struct format of one item, "B" when the exporter gives none.
  const char* format() const { return view_.format != nullptr ? view_.format : "B"; }

 private:
  Py_buffer view_{};
  bool pinned_ = false;
};

// A new bytearray of `size` bytes (not cleared); null with MemoryError when
// there is no memory for it.  PyByteArray_FromStringAndSize(NULL, size)
// frees its half-made object on that failure with its export count unset,
// and may print a bogus SystemError about exported buffers.
PyObject* NewByteArray(Py_ssize_t size);

// A new array.array of the unsigned typecode of `width` bytes (1, 2, 4 or
// 8) with `items` zeroed items; null with an exception set on failure.
PyObject* NewUnsignedArray(size_t width, size_t items);

// Asks for huge pages behind a large new result, before it is written.
// Writing tens of fresh megabytes costs more in page faults (one per 4 KiB
// page, each zeroing its page) than the kernel's own work on them; 2 MiB
// pages take 512 times fewer.  Only a hint: where the system keeps small
// pages nothing changes but the speed.
void HintHugePages(void* data, size_t bytes);

// Reverses the byte order of each of `items` items of `width` bytes.
void SwapItems(void* data, size_t items, size_t width);

// Imports what the helpers need (the array module); false with an exception
// set on failure.
bool AddBuffers();

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_BUFFERS_H_
