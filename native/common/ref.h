// An owned reference to a Python object, let go of on every way out of its
// scope, exceptions included.
#ifndef ALPHABET_NATIVE_COMMON_REF_H_
#define ALPHABET_NATIVE_COMMON_REF_H_

#include <Python.h>

#include "native/common/interpreter.h"

namespace native {

class Ref {
 public:
  Ref() = default;
  // Takes over `object`, a new reference or null.
  explicit Ref(PyObject* object) : object_(object) {}
  ~Ref() { Reset(); }
  Ref(Ref&& other) noexcept : object_(other.Take()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) Reset(other.Take());
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  // A reference of its own to a borrowed `object`.
  static Ref Of(PyObject* object) { return Ref(Py_NewRef(object)); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference on; this object no longer holds it.
  PyObject* Take() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  void Reset(PyObject* object = nullptr) {
    PyObject* old = object_;
    object_ = object;
    if (old != nullptr && HoldsInterpreter()) Py_DECREF(old);
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace native

#endif  // ALPHABET_NATIVE_COMMON_REF_H_
