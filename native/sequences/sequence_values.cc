#include "native/sequences/sequence_values.h"

#include "native/common/errors.h"
#include "native/common/ref.h"

namespace native {

bool RaiseOutOfRange(PyObject* integer, const char* kind, long long min, unsigned long long max) {
  const Ref shown(ReprForMessage(integer));
  if (!shown) return false;
  PyErr_Format(PyExc_OverflowError, "value %U is out of range for %s %s sequence [%lld, %llu]",
               shown.get(), Article(kind), kind, min, max);
  return false;
}

bool RaiseUnholdableText(PyObject* text, const char* kind) {
  const Py_ssize_t position = FirstUnholdable(text);
  const char* what = position >= 0 && PyUnicode_READ_CHAR(text, position) != 0 ? "a lone surrogate"
                                                                               : "a NUL character";
  const Ref shown(ReprForMessage(text));
  if (!shown) return false;
  PyErr_Format(PyExc_ValueError, "%s %s sequence cannot hold %U: it has %s at position %zd",
               Article(kind), kind, shown.get(), what, position);
  return false;
}

}  // namespace native
