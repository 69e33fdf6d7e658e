// Conversions between byte sequences and Python byte buffers: one
// allocation and one copy each way.
#include <Python.h>

#include <cstring>

#include "bindings/errors.h"
#include "bindings/sequence_functions.h"
#include "bindings/startup.h"
#include "sequences/operations.h"

using ByteOperations = sequences::Operations<sequences::U8Storage>;
using ByteSequence = ByteOperations::Seq;

int64_t Slice_byte_from_bytes(PyObject* o) {
  bindings::EnsureStarted();
  if (!PyObject_CheckBuffer(o)) {
    PyErr_Format(PyExc_TypeError,
                 "Slice_byte_from_bytes: expected a contiguous bytes-like object, got %.200s",
                 Py_TYPE(o)->tp_name);
    return handles::kNoHandle;
  }
  // An exporter that refuses (BufferError for a view that is not
  // contiguous) or fails (a __buffer__ that raises, KeyboardInterrupt
  // included) has set its own exception, which the caller gets unchanged.
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) != 0) return handles::kNoHandle;
  const int64_t handle = bindings::CatchNoMemory([&] {
    // Filled by the copy at once, so the block is not zero-filled first.
    auto block = std::make_shared_for_overwrite<uint8_t[]>(view.len);
    if (view.len > 0) std::memcpy(block.get(), view.buf, view.len);
    return handles::Global().Register(
        "[]byte", std::make_shared<ByteSequence>(ByteSequence::Adopt(std::move(block), view.len)));
  });
  PyBuffer_Release(&view);
  return handle;
}

PyObject* Slice_byte_to_bytes(int64_t handle) {
  bindings::EnsureStarted();
  auto found = ByteOperations::Find(handle, "[]byte");
  if (!found.status.ok()) {
    bindings::RaiseFault(found.status);
    return nullptr;
  }
  if (!found.value) return PyBytes_FromStringAndSize(nullptr, 0);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(found.value->data()),
                                   found.value->length());
}
