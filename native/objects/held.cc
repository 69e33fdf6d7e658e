#include "native/objects/held.h"

#include <cstddef>

#include "native/common/flat_api.h"
#include "native/common/interpreter.h"
#include "native/common/methods.h"

namespace native {
namespace {

void HeldDealloc(PyObject* self) {
  auto* held = reinterpret_cast<HeldObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (held->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  if (held->handle > 0) Flat().DecRef(held->handle);
  held->handle = 0;
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyMemberDef held_members[] = {
    {"handle", Py_T_LONGLONG, offsetof(HeldObject, handle), Py_READONLY,
     "The registry handle this object owns.\n\n"
     "It stays valid while this object is alive.  Code that keeps the handle\n"
     "beyond that must take it up with IncRef itself."},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(HeldObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot held_slots[] = {
    {Py_tp_dealloc, AsSlot(&HeldDealloc)},
    {Py_tp_members, held_members},
    {Py_tp_doc, const_cast<char*>(
                    "Base of the objects that own one registry entry; made only by the package.")},
    {0, nullptr},
};

PyTypeObject* held_type = nullptr;

// 1 when `handle` names a registry entry, 0 when it names nothing, -1 with
// an exception set.  Any flat call refuses an entry of another kind with
// TypeError, and answers quietly for nothing: the length of a byte sequence
// and of an int8 sequence cannot both be given quietly for an entry.
int NamesEntry(int64_t handle) {
  if (handle <= 0) return 0;
  for (auto length : {Flat().Slice_byte_len, Flat().Slice_int8_len}) {
    length(handle);
    if (PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
      PyErr_Clear();
      return 1;
    }
  }
  return 0;
}

// adopt(cls, handle): an instance of `cls` that takes up its own share of an
// existing handle; the caller's share is untouched.
PyObject* Adopt(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!CheckArgCount("adopt", nargs, 2)) return nullptr;
  PyTypeObject* cls = HeldSubtype(args[0]);
  if (cls == nullptr) return nullptr;
  const long long handle = PyLong_AsLongLong(args[1]);
  if (handle == -1 && PyErr_Occurred()) return nullptr;
  // A handle that names nothing may yet be issued to another object, whose
  // entry this one would then let go of when collected.
  const int named = NamesEntry(handle);
  if (named < 0) return nullptr;
  if (named == 0) {
    PyErr_Format(PyExc_ValueError, "handle %lld names no registry entry", handle);
    return nullptr;
  }
  PyObject* object = cls->tp_alloc(cls, 0);
  if (object == nullptr) return nullptr;
  Flat().IncRef(handle);
  reinterpret_cast<HeldObject*>(object)->handle = handle;
  return object;
}

PyMethodDef held_functions[] = {
    {"adopt", AsMethod(&Adopt), METH_FASTCALL,
     "adopt(cls, handle, /)\n--\n\n"
     "A new instance of cls that takes up a share of its own of handle;\n"
     "ValueError when handle names no registry entry."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* HeldType() { return held_type; }

PyTypeObject* HeldSubtype(PyObject* cls) {
  if (PyType_Check(cls) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), held_type)) {
    return reinterpret_cast<PyTypeObject*>(cls);
  }
  PyErr_Format(PyExc_TypeError, "expected a subclass of Held, not %R", cls);
  return nullptr;
}

void ReleaseFresh(int64_t fresh) {
  if (fresh <= 0 || !HoldsInterpreter()) return;
  // A fresh entry is at count 0: one IncRef and one DecRef remove it.
  Flat().IncRef(fresh);
  Flat().DecRef(fresh);
}

PyObject* AdoptFresh(PyTypeObject* cls, int64_t fresh) {
  PyObject* object = cls->tp_alloc(cls, 0);
  if (object == nullptr) {
    ReleaseFresh(fresh);
    return nullptr;
  }
  Flat().IncRef(fresh);
  reinterpret_cast<HeldObject*>(object)->handle = fresh;
  return object;
}

int64_t HandleOf(PyObject* object, const char* what) {
  if (PyObject_TypeCheck(object, held_type)) return reinterpret_cast<HeldObject*>(object)->handle;
  PyErr_Format(PyExc_TypeError, "expected %s, not %.200s", what, Py_TYPE(object)->tp_name);
  return -1;
}

bool AddHeld(PyObject* module) {
  // Only the factories make instances: they adopt a handle in the same step.
  return AddType(
             module, "Held",
             {.name = "alphabet._native.Held",
              .basicsize = sizeof(HeldObject),
              .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
              .slots = held_slots},
             held_type) &&
         PyModule_AddFunctions(module, held_functions) == 0;
}

}  // namespace native
