#include "native/common/text.h"

#include <cstring>

namespace native {

const char* HoldableUtf8(PyObject* text, Py_ssize_t& size) {
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();  // a lone surrogate
    return nullptr;
  }
  return std::strlen(utf8) == static_cast<size_t>(size) ? utf8 : nullptr;
}

Py_ssize_t FirstUnholdable(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    if (!Holdable(PyUnicode_READ(kind, data, i))) return i;
  }
  return -1;
}

int EncodeUtf8(Py_UCS4 c, char out[5]) {
  int length;
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    length = 1;
  } else if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    length = 2;
  } else if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    length = 3;
  } else {
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    length = 4;
  }
  out[length] = '\0';
  return length;
}

}  // namespace native
