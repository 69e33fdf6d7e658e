// Held: the base of every package object that owns one registry entry.
//
// The library registers what it makes at count 0; the Python object that
// stands for it takes the handle up with IncRef and lets go with DecRef when
// it is collected, so the entry lives exactly as long as the object.
// Instances are only ever made by the native module's own factories, which
// register the library object and adopt its handle in one step of C code:
// no Python code runs between the two, so neither a signal handler
// (KeyboardInterrupt) nor any other exception can leave an entry that
// nothing will release.  Held cannot be instantiated from Python; Python
// subclasses (Alphabet, the sequence classes) add their own slots.
#ifndef ALPHABET_NATIVE_OBJECTS_HELD_H_
#define ALPHABET_NATIVE_OBJECTS_HELD_H_

#include <Python.h>

#include <cstdint>

namespace native {

struct HeldObject {
  PyObject_HEAD int64_t handle;  // the entry this object owns; 0 for none
  PyObject* weakrefs;
};

// The Held type object; ready once AddHeld has succeeded.
PyTypeObject* HeldType();

// `cls` as a subtype of Held; null with TypeError when it is none.
PyTypeObject* HeldSubtype(PyObject* cls);

// A new instance of `cls`, a subtype of Held, owning `fresh`: a handle that
// a flat call has just registered at count 0 and that nothing else holds.
// On failure the entry is released and null is returned with the exception
// set; `fresh` must name an entry.
PyObject* AdoptFresh(PyTypeObject* cls, int64_t fresh);

// The handle of `object` when it is a Held (0 when it owns none); -1 with
// TypeError naming `what` otherwise.
int64_t HandleOf(PyObject* object, const char* what);

// Releases a fresh handle (count 0) that no object adopted.  Nothing happens
// for a handle that names nothing.
void ReleaseFresh(int64_t fresh);

// Owns a fresh handle for the duration of a native call: releases it unless
// it was handed on (Take), on every way out.
class FreshHandle {
 public:
  explicit FreshHandle(int64_t handle = -1) : handle_(handle) {}
  ~FreshHandle() { ReleaseFresh(handle_); }
  FreshHandle(const FreshHandle&) = delete;
  FreshHandle& operator=(const FreshHandle&) = delete;

  int64_t get() const { return handle_; }
  int64_t Take() {
    const int64_t handle = handle_;
    handle_ = -1;
    return handle;
  }

 private:
  int64_t handle_;
};

// Adds Held and `adopt` to the module.
bool AddHeld(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_OBJECTS_HELD_H_
