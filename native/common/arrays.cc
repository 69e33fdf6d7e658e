#include "native/common/arrays.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "native/common/buffers.h"
#include "native/common/methods.h"
#include "native/common/ref.h"

namespace native {
namespace {

struct ArrayObject {
  PyObject_HEAD void* data;
  PyObject* weak_references;
  size_t bytes;
  Py_ssize_t itemsize;
  int ndim;
  Py_ssize_t shape[kMaxArrayDimensions];
  Py_ssize_t strides[kMaxArrayDimensions];
  char format[4];
};

ArrayObject* AsArray(PyObject* self) { return reinterpret_cast<ArrayObject*>(self); }

PyTypeObject* array_type = nullptr;

// Arrays are made only by native code (NewArray).
PyObject* ArrayNew(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "Arrays are made by the package's calls, not directly");
  return nullptr;
}

void ArrayDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (AsArray(self)->weak_references != nullptr) PyObject_ClearWeakRefs(self);
  std::free(AsArray(self)->data);
  type->tp_free(self);
  Py_DECREF(type);
}

int ArrayGetBuffer(PyObject* self, Py_buffer* view, int flags) {
  // A consumer that asks for no shape reads the items as one run of bytes.
  ArrayObject* array = AsArray(self);
  view->obj = Py_NewRef(self);
  view->buf = array->data;
  view->len = static_cast<Py_ssize_t>(array->bytes);
  view->readonly = 0;
  view->itemsize = array->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? array->format : nullptr;
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = shaped ? array->ndim : 1;
  view->shape = shaped ? array->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? array->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyObject* ArrayShape(PyObject* self, void*) {
  const ArrayObject* array = AsArray(self);
  PyObject* shape = PyTuple_New(array->ndim);
  for (int i = 0; shape != nullptr && i < array->ndim; ++i) {
    PyObject* size = PyLong_FromSsize_t(array->shape[i]);
    if (size == nullptr) {
      Py_CLEAR(shape);
    } else {
      PyTuple_SET_ITEM(shape, i, size);
    }
  }
  return shape;
}

PyObject* ArrayFormat(PyObject* self, void*) { return PyUnicode_FromString(AsArray(self)->format); }

PyObject* ArrayNbytes(PyObject* self, void*) { return PyLong_FromSize_t(AsArray(self)->bytes); }

PyObject* ArrayToList(PyObject* self, PyObject*) {
  const Ref view(PyMemoryView_FromObject(self));
  return view ? PyObject_CallMethod(view.get(), "tolist", nullptr) : nullptr;
}

Py_ssize_t ArrayLength(PyObject* self) { return AsArray(self)->shape[0]; }

PyObject* ArrayRepr(PyObject* self) {
  const Ref shape(ArrayShape(self, nullptr));
  if (!shape) return nullptr;
  return PyUnicode_FromFormat("Array(shape=%R, format='%s')", shape.get(), AsArray(self)->format);
}

PyGetSetDef array_getset[] = {
    {"shape", ArrayShape, nullptr, "The size of each dimension, as a tuple.", nullptr},
    {"format", ArrayFormat, nullptr, "The struct format of one item ('B', 'q', 'f', ...).",
     nullptr},
    {"nbytes", ArrayNbytes, nullptr, "The bytes the items take.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef array_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ArrayObject, weak_references), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef array_methods[] = {
    {"tolist", ArrayToList, METH_NOARGS,
     "tolist($self, /)\n--\n\nThe items as nested lists, one level per dimension."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot array_slots[] = {
    {Py_tp_new, AsSlot(&ArrayNew)},
    {Py_tp_dealloc, AsSlot(&ArrayDealloc)},
    {Py_tp_repr, AsSlot(&ArrayRepr)},
    {Py_tp_getset, array_getset},
    {Py_tp_methods, array_methods},
    {Py_tp_members, array_members},
    {Py_sq_length, AsSlot(&ArrayLength)},
    {Py_bf_getbuffer, AsSlot(&ArrayGetBuffer)},
    {Py_tp_doc,
     const_cast<char*>("A C-contiguous array that the package's calls fill (padded batches, "
                       "one-hot rows):\nread it through the buffer protocol, "
                       "numpy.asarray(array) or memoryview(array).")},
    {0, nullptr},
};

}  // namespace

PyObject* NewArray(const char* format, size_t itemsize, std::initializer_list<size_t> shape,
                   void*& data) {
  const int ndim = static_cast<int>(shape.size());
  if (ndim < 1 || ndim > kMaxArrayDimensions || std::strlen(format) >= 4) {
    PyErr_SetString(PyExc_SystemError, "an Array has one to three dimensions and a short format");
    return nullptr;
  }
  size_t bytes = itemsize;
  for (const size_t size : shape) {
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX) ||
        (size != 0 && bytes > static_cast<size_t>(PY_SSIZE_T_MAX) / size)) {
      return PyErr_NoMemory();
    }
    bytes *= size;
  }
  auto* array = reinterpret_cast<ArrayObject*>(array_type->tp_alloc(array_type, 0));
  if (array == nullptr) return nullptr;
  // Whole cache lines, so that a vector loop may fill the last one.
  const size_t rounded = (bytes + 63) / 64 * 64 + 64;
  array->data = std::aligned_alloc(64, rounded);
  if (array->data == nullptr) {
    Py_DECREF(array);
    return PyErr_NoMemory();
  }
  HintHugePages(array->data, rounded);
  array->bytes = bytes;
  array->itemsize = static_cast<Py_ssize_t>(itemsize);
  array->ndim = ndim;
  int i = 0;
  for (const size_t size : shape) array->shape[i++] = static_cast<Py_ssize_t>(size);
  Py_ssize_t stride = array->itemsize;
  for (i = ndim - 1; i >= 0; --i) {
    array->strides[i] = stride;
    stride *= array->shape[i];
  }
  std::strcpy(array->format, format);
  data = array->data;
  return reinterpret_cast<PyObject*>(array);
}

bool AddArrays(PyObject* module) {
  return AddType(module, "Array",
                 {.name = "alphabet._native.Array",
                  .basicsize = sizeof(ArrayObject),
                  .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                  .slots = array_slots},
                 array_type);
}

}  // namespace native
