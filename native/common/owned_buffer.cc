#include "native/common/owned_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "native/common/buffers.h"
#include "native/common/methods.h"

namespace native {
namespace {

PyTypeObject* buffer_type = nullptr;

struct BufferObject {
  PyObject_HEAD void* data;
  Py_ssize_t bytes;
  Py_ssize_t items;
  Py_ssize_t itemsize;
  char format[2];
};

BufferObject* AsBuffer(PyObject* self) { return reinterpret_cast<BufferObject*>(self); }

Py_ssize_t ItemSize(char format) {
  switch (format) {
    case 'B': return 1;
    case 'H': return 2;
    case 'I': return 4;
    case 'Q':
    case 'q': return 8;
    default: return 0;
  }
}

int BufferGet(PyObject* self, Py_buffer* view, int flags) {
  BufferObject* buffer = AsBuffer(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "a batch's buffers are read-only");
    view->obj = nullptr;
    return -1;
  }
  view->obj = Py_NewRef(self);
  view->buf = buffer->data;
  view->len = buffer->bytes;
  view->readonly = 1;
  view->itemsize = buffer->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? buffer->format : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &buffer->items : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &buffer->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void BufferDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::free(AsBuffer(self)->data);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t BufferLength(PyObject* self) { return AsBuffer(self)->items; }

PyObject* BufferRepr(PyObject* self) {
  const BufferObject* buffer = AsBuffer(self);
  return PyUnicode_FromFormat("<BatchBuffer of %zd items, format '%s'>", buffer->items,
                              buffer->format);
}

PyObject* BufferFormat(PyObject* self, void*) {
  return PyUnicode_FromString(AsBuffer(self)->format);
}

PyObject* BufferNbytes(PyObject* self, void*) { return PyLong_FromSsize_t(AsBuffer(self)->bytes); }

PyGetSetDef buffer_getset[] = {
    {"format", BufferFormat, nullptr, "The struct format of one item.", nullptr},
    {"nbytes", BufferNbytes, nullptr, "The size in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_bf_getbuffer, AsSlot(&BufferGet)},
    {Py_tp_dealloc, AsSlot(&BufferDealloc)},
    {Py_sq_length, AsSlot(&BufferLength)},
    {Py_tp_repr, AsSlot(&BufferRepr)},
    {Py_tp_getset, buffer_getset},
    {Py_tp_doc, const_cast<char*>("Read-only typed memory of a RecordBatch, with the buffer "
                                  "protocol: numpy.asarray(buffer) reads it in place.")},
    {0, nullptr},
};

}  // namespace

GrowingBuffer::~GrowingBuffer() { std::free(data_); }

void GrowingBuffer::Reserve(size_t bytes) {
  if (bytes <= capacity_) return;
  void* grown = std::realloc(data_, bytes);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = bytes;
  HintHugePages(data_, capacity_);
}

uint8_t* GrowingBuffer::Extend(size_t bytes) {
  if (capacity_ - size_ < bytes) {
    if (bytes > SIZE_MAX / 2 - size_) throw std::bad_alloc();
    Reserve(std::max({size_ + bytes, 2 * capacity_, size_t{4096}}));
  }
  uint8_t* end = data_ + size_;
  size_ += bytes;
  return end;
}

PyObject* NewBuffer(GrowingBuffer& memory, char format) {
  const Py_ssize_t itemsize = ItemSize(format);
  if (itemsize == 0 || memory.size_ % static_cast<size_t>(itemsize) != 0) {
    PyErr_Format(PyExc_SystemError, "no buffer of %zu bytes in items of format '%c'", memory.size_,
                 format);
    return nullptr;
  }
  auto* buffer = PyObject_New(BufferObject, buffer_type);
  if (buffer == nullptr) return nullptr;
  // An empty buffer still points at memory of its own.
  buffer->data = memory.data_ != nullptr ? memory.data_ : std::malloc(1);
  if (buffer->data == nullptr) {
    Py_DECREF(buffer);
    return PyErr_NoMemory();
  }
  buffer->bytes = static_cast<Py_ssize_t>(memory.size_);
  buffer->itemsize = itemsize;
  buffer->items = buffer->bytes / itemsize;
  buffer->format[0] = format;
  buffer->format[1] = '\0';
  memory.data_ = nullptr;
  memory.size_ = memory.capacity_ = 0;
  return reinterpret_cast<PyObject*>(buffer);
}

const void* BufferData(PyObject* buffer) {
  return Py_IS_TYPE(buffer, buffer_type) ? AsBuffer(buffer)->data : nullptr;
}

bool AddOwnedBuffers(PyObject* module) {
  return AddType(module, "BatchBuffer",
                 {.name = "alphabet._native.BatchBuffer",
                  .basicsize = sizeof(BufferObject),
                  .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                  .slots = buffer_slots},
                 buffer_type);
}

}  // namespace native
