#include "native/common/errors.h"

#include "native/common/ref.h"

namespace native {
namespace {

PyObject* alphabet_error = nullptr;
PyObject* format_error = nullptr;
PyObject* broken_input = nullptr;
PyObject* code_text = nullptr;

// Longer reprs are cut in messages (the format below says 60 too); a
// million-digit int would drown the message it is named in.
constexpr Py_ssize_t kShownLength = 60;

}  // namespace

PyObject* AlphabetError() { return alphabet_error; }

void RaiseAlphabetError(PyObject* message, Py_ssize_t position) {
  Ref error(position < 0 ? PyObject_CallFunction(alphabet_error, "(OO)", message, Py_None)
                         : PyObject_CallFunction(alphabet_error, "(On)", message, position));
  if (error) PyErr_SetObject(alphabet_error, error.get());
}

void RaiseAlphabetErrorIn(PyObject* message, Py_ssize_t position, PyObject* record,
                          long long line) {
  const Ref args(Py_BuildValue("(On)", message, position));
  const Ref keywords(args ? Py_BuildValue("{sOsL}", "record", record, "line", line) : nullptr);
  if (!keywords) return;
  Ref error(PyObject_Call(alphabet_error, args.get(), keywords.get()));
  if (error) PyErr_SetObject(alphabet_error, error.get());
}

PyObject* FormatError() { return format_error; }

PyObject* BrokenInput() { return broken_input; }

void RaiseFormatError(std::string_view message, int64_t line) {
  const Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                      "backslashreplace"));
  Ref error(
      text ? PyObject_CallFunction(format_error, "(OL)", text.get(), static_cast<long long>(line))
           : nullptr);
  if (error) PyErr_SetObject(format_error, error.get());
}

PyObject* CodeText(PyObject* integer) { return PyObject_CallOneArg(code_text, integer); }

PyObject* ReprForMessage(PyObject* value) {
  Ref repr(PyObject_Repr(value));
  if (!repr) {
    // An int beyond the interpreter's digit limit for str() is still shown
    // in decimal.  Anything else a __repr__ raises (an interrupt, say) is
    // passed on.
    if (!PyLong_Check(value) || !PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyErr_Clear();
    repr.Reset(CodeText(value));
    if (!repr) return nullptr;
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(repr.get());
  if (length <= kShownLength) return repr.Take();
  return PyUnicode_FromFormat("%.60U... (%zd characters)", repr.get(), length);
}

bool AddErrors() {
  if (alphabet_error != nullptr) return true;
  Ref errors(PyImport_ImportModule("alphabet._errors"));
  if (!errors) return false;
  Ref error(PyObject_GetAttrString(errors.get(), "AlphabetError"));
  Ref text(error ? PyObject_GetAttrString(errors.get(), "code_text") : nullptr);
  Ref format(text ? PyObject_GetAttrString(errors.get(), "FormatError") : nullptr);
  Ref broken(format ? PyObject_GetAttrString(errors.get(), "BrokenInput") : nullptr);
  if (!broken) return false;
  broken_input = broken.Take();
  format_error = format.Take();
  alphabet_error = error.Take();
  code_text = text.Take();
  return true;
}

}  // namespace native
