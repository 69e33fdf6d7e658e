// What every bulk call of the native module does around its work: the
// kernel runs with the interpreter lock released once the input is large
// enough to repay it, and a C++ allocation failure becomes MemoryError.
#ifndef ALPHABET_NATIVE_BULK_CALL_H_
#define ALPHABET_NATIVE_BULK_CALL_H_

#include <Python.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>

#include "bindings/gil.h"

namespace native {

// Inputs shorter than this are worked on with the interpreter lock held:
// releasing and taking it back would cost more than it frees.
inline constexpr size_t kUnlockedFrom = size_t{1} << 16;

// Runs `work` (which must not touch a Python object) for an input of
// `items` elements, with the interpreter lock released when it is large.
template <class Work>
auto Unlocked(size_t items, Work&& work) {
  if (items < kUnlockedFrom) return work();
  bindings::GilRelease unlocked;
  return work();
}

// Asks for huge pages behind a large new result, before it is written.
// Writing tens of fresh megabytes costs more in page faults (one per 4 KiB
// page, each zeroing its page) than the kernel's own work on them; 2 MiB
// pages take 512 times fewer.  Only a hint: where the system keeps small
// pages nothing changes but the speed.
inline void HintHugePages(void* data, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (bytes < 4 * kHuge) return;
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (begin + bytes) & ~(kHuge - 1);
  madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

// vector.push_back(value), or false with MemoryError set: for loops that
// hold Python references, which an exception thrown through them would
// leak.
template <class Vector, class Value>
bool PushBack(Vector& vector, Value&& value) {
  try {
    vector.push_back(std::forward<Value>(value));
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  PyErr_NoMemory();
  return false;
}

// Runs the body of a method; running out of memory in C++ raises
// MemoryError instead of unwinding into the interpreter.
template <class Method>
PyObject* Guarded(Method&& method) {
  try {
    return method();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  }
}

}  // namespace native

#endif  // ALPHABET_NATIVE_BULK_CALL_H_
