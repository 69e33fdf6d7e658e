// Releasing the interpreter lock for library work.
#ifndef ALPHABET_BINDINGS_GIL_H_
#define ALPHABET_BINDINGS_GIL_H_

#include <Python.h>

namespace bindings {

// Releases the interpreter lock for its lifetime and takes it back on every
// way out of the scope.  Reacquire() takes it back early, for work that
// needs it (setting an exception) before the scope ends.  While released, no
// Python object may be touched.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { Reacquire(); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  void Reacquire() {
    if (state_ != nullptr) {
      PyEval_RestoreThread(state_);
      state_ = nullptr;
    }
  }

 private:
  PyThreadState* state_;
};

}  // namespace bindings

#endif  // ALPHABET_BINDINGS_GIL_H_
