#include "native/sequence_values.h"

namespace native {
namespace {

// Longer reprs are cut in messages (the format below says 60 too); a
// million-digit int would drown the message it is named in.
constexpr Py_ssize_t kShownLength = 60;

}  // namespace

PyObject* ReprForMessage(PyObject* value) {
  PyObject* repr = PyObject_Repr(value);
  if (repr == nullptr) {
    // An int beyond the interpreter's digit limit for str(): say what it is.
    // Anything else a __repr__ raises (an interrupt, say) is passed on.
    if (!PyLong_Check(value) || !PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyErr_Clear();
    return PyUnicode_FromFormat("<a %.100s too long to show>", Py_TYPE(value)->tp_name);
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(repr);
  if (length <= kShownLength) return repr;
  PyObject* cut = PyUnicode_FromFormat("%.60U... (%zd characters)", repr, length);
  Py_DECREF(repr);
  return cut;
}

bool RaiseOutOfRange(PyObject* integer, const char* kind, long long min, unsigned long long max) {
  PyObject* shown = ReprForMessage(integer);
  if (shown == nullptr) return false;
  PyErr_Format(PyExc_OverflowError, "value %U is out of range for %s %s sequence [%lld, %llu]",
               shown, Article(kind), kind, min, max);
  Py_DECREF(shown);
  return false;
}

bool RaiseUnholdableText(PyObject* text, const char* kind) {
  const int unicode_kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Py_ssize_t position = 0;
  const char* what = "a NUL character";
  for (; position < length; ++position) {
    const Py_UCS4 c = PyUnicode_READ(unicode_kind, data, position);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDFFF) {
      what = "a lone surrogate";
      break;
    }
  }
  PyObject* shown = ReprForMessage(text);
  if (shown == nullptr) return false;
  PyErr_Format(PyExc_ValueError, "%s %s sequence cannot hold %U: it has %s at position %zd",
               Article(kind), kind, shown, what, position);
  Py_DECREF(shown);
  return false;
}

}  // namespace native
