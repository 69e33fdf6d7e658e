#include "native/common/buffers.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <utility>

#include "native/common/interpreter.h"
#include "native/common/ref.h"

namespace native {
namespace {

// One-item arrays of the unsigned typecode of each width (index: log2 of
// the width), the seeds of NewUnsignedArray; never given out.
PyObject* array_seeds[4] = {};

int WidthIndex(size_t width) { return std::countr_zero(width); }

}  // namespace

bool PinnedBuffer::Pin(PyObject* object, int flags) {
  Release();
  if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
  pinned_ = true;
  return true;
}

void PinnedBuffer::Release() {
  if (pinned_ && HoldsInterpreter()) PyBuffer_Release(&view_);
  pinned_ = false;
  // A buffer let go of shows as empty, not as the memory it had.
  view_ = Py_buffer{};
}

PyObject* NewByteArray(Py_ssize_t size) {
  PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, 0);
  if (bytes == nullptr || PyByteArray_Resize(bytes, size) == 0) return bytes;
  Py_DECREF(bytes);
  return nullptr;
}

PyObject* NewUnsignedArray(size_t width, size_t items) {
  if (!std::has_single_bit(width) || width > 8) {
    PyErr_Format(PyExc_SystemError, "no unsigned array items of %zu bytes", width);
    return nullptr;
  }
  if (items > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  return PySequence_Repeat(array_seeds[WidthIndex(width)], static_cast<Py_ssize_t>(items));
}

void HintHugePages(void* data, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (bytes < 4 * kHuge) return;
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (begin + bytes) & ~(kHuge - 1);
  madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

void SwapItems(void* data, size_t items, size_t width) {
  auto* bytes = static_cast<unsigned char*>(data);
  for (size_t i = 0; i < items; ++i) {
    unsigned char* item = bytes + i * width;
    for (size_t b = 0; b < width / 2; ++b) std::swap(item[b], item[width - 1 - b]);
  }
}

bool AddBuffers() {
  if (array_seeds[0] != nullptr) return true;
  Ref array_module(PyImport_ImportModule("array"));
  if (!array_module) return false;
  Ref type(PyObject_GetAttrString(array_module.get(), "array"));
  if (!type) return false;
  // The unsigned typecode of each width, as this platform sizes them.
  PyObject* seeds[4] = {};
  for (const char typecode : {'B', 'H', 'I', 'Q', 'L'}) {
    Ref seed(PyObject_CallFunction(type.get(), "C[i]", typecode, 0));
    Ref itemsize(seed ? PyObject_GetAttrString(seed.get(), "itemsize") : nullptr);
    const long width = itemsize ? PyLong_AsLong(itemsize.get()) : -1;
    if (width < 0) {
      for (PyObject* made : seeds) Py_XDECREF(made);
      return false;
    }
    const int slot = WidthIndex(static_cast<size_t>(width));
    if (width <= 8 && seeds[slot] == nullptr) seeds[slot] = seed.Take();
  }
  for (PyObject* seed : seeds) {
    if (seed == nullptr) {
      for (PyObject* made : seeds) Py_XDECREF(made);
      PyErr_SetString(PyExc_ImportError, "array.array lacks unsigned items of 1, 2, 4 or 8 bytes");
      return false;
    }
  }
  std::copy(std::begin(seeds), std::end(seeds), array_seeds);
  return true;
}

}  // namespace native
