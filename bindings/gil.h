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
  // Not noexcept: a daemon thread that comes back while the interpreter is
  // finalizing is ended inside PyEval_RestoreThread by pthread_exit, whose
  // forced unwinding must pass through this destructor and its callers.
  // Through a noexcept frame it would call std::terminate and abort the
  // whole process at exit.
  ~GilRelease() noexcept(false) { Reacquire(); }
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
