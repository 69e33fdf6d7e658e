// _floor: the cheapest possible method for each benchmarked row of
// _alphabet.  Every function has the row's calling convention, keyword
// names and argument format, parses with PyArg_ParseTupleAndKeywords and
// builds a result of the same kind, and does nothing else; what a measured
// row costs above its floor is the library's own work.
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace {

char kHandle[] = "handle";
char kIdx[] = "idx";
char kValue[] = "value";
char kUnderscoreHandle[] = "_handle";
char kSymbol[] = "symbol";
char kCode[] = "code";

char* kHandleKw[] = {kHandle, nullptr};
char* kHandleIdxKw[] = {kHandle, kIdx, nullptr};
char* kHandleIdxValueKw[] = {kHandle, kIdx, kValue, nullptr};
char* kHandleValueKw[] = {kHandle, kValue, nullptr};
char* kSymbolKw[] = {kUnderscoreHandle, kSymbol, nullptr};
char* kCodeKw[] = {kUnderscoreHandle, kCode, nullptr};

// Slice_int_elem: "Li" -> int.
PyObject* Elem(PyObject*, PyObject* args, PyObject* kwargs) {
  long long handle;
  int idx;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Li", kHandleIdxKw, &handle, &idx)) {
    return nullptr;
  }
  return PyLong_FromLongLong(handle + idx);
}

// Slice_int_set: "LiL" -> None.
PyObject* Set(PyObject*, PyObject* args, PyObject* kwargs) {
  long long handle, value;
  int idx;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LiL", kHandleIdxValueKw, &handle, &idx, &value)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Slice_int_append: "LL" -> None.
PyObject* Append(PyObject*, PyObject* args, PyObject* kwargs) {
  long long handle, value;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "LL", kHandleValueKw, &handle, &value)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Slice_int_len: "L" -> int.
PyObject* Len(PyObject*, PyObject* args, PyObject* kwargs) {
  long long handle;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L", kHandleKw, &handle)) return nullptr;
  return PyLong_FromLongLong(handle);
}

// IncRef / DecRef: "L" -> None.
PyObject* HandleOnly(PyObject*, PyObject* args, PyObject* kwargs) {
  long long handle;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L", kHandleKw, &handle)) return nullptr;
  Py_RETURN_NONE;
}

// alphabet_Alphabet_Encode: "Ls" -> int, the interpreter lock released and
// taken back around the (empty) library call.
PyObject* Encode(PyObject*, PyObject* args, PyObject* kwargs) {
  long long handle;
  const char* symbol;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ls", kSymbolKw, &handle, &symbol)) {
    return nullptr;
  }
  int64_t code;
  Py_BEGIN_ALLOW_THREADS
    code = handle + static_cast<unsigned char>(symbol[0]);
  Py_END_ALLOW_THREADS
  return PyLong_FromLongLong(code);
}

// alphabet_Alphabet_Decode: "Ls" -> str, lock released as for Encode.
PyObject* Decode(PyObject*, PyObject* args, PyObject* kwargs) {
  long long handle;
  const char* code;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ls", kCodeKw, &handle, &code)) {
    return nullptr;
  }
  size_t length;
  Py_BEGIN_ALLOW_THREADS
    length = std::strlen(code);
  Py_END_ALLOW_THREADS
  return PyUnicode_FromStringAndSize(code, static_cast<Py_ssize_t>(length));
}

#define FLOOR_ROW(name, fn)                                               \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), \
   METH_VARARGS | METH_KEYWORDS, nullptr}

PyMethodDef floor_methods[] = {
    FLOOR_ROW("elem", Elem),     FLOOR_ROW("set", Set),           FLOOR_ROW("append", Append),
    FLOOR_ROW("len", Len),       FLOOR_ROW("incref", HandleOnly), FLOOR_ROW("decref", HandleOnly),
    FLOOR_ROW("encode", Encode), FLOOR_ROW("decode", Decode),     {nullptr, nullptr, 0, nullptr},
};

#undef FLOOR_ROW

PyModuleDef floor_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_floor",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = floor_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__floor() { return PyModule_Create(&floor_module); }
