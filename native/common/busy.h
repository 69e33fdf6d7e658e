// Objects that one thread uses at a time (a reader, a writer): a flag set
// for the length of each call, so that a second thread, or Python code that
// the call itself runs (a source's read, a sink), gets ValueError instead of
// reaching state the call is in the middle of changing.
#ifndef ALPHABET_NATIVE_COMMON_BUSY_H_
#define ALPHABET_NATIVE_COMMON_BUSY_H_

#include <Python.h>

#include "native/common/interpreter.h"

namespace native {

// Sets `busy` for the life of the scope.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
  ~BusyScope() {
    // A daemon thread unwound at exit holds no interpreter, and the object
    // may be gone: nothing is touched then.
    if (HoldsInterpreter()) busy_ = false;
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& busy_;
};

// False with ValueError("<what> already executing") while `busy` is set.
inline bool NotBusy(bool busy, const char* what) {
  if (!busy) return true;
  PyErr_Format(PyExc_ValueError, "%s already executing", what);
  return false;
}

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_BUSY_H_
