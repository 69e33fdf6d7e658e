#include "native/io/record.h"

#include <initializer_list>

#include "native/common/methods.h"
#include "native/common/ref.h"

namespace native {
namespace {

// A record's repr shows this many elements of a longer sequence or quality.
constexpr Py_ssize_t kShown = 40;

PyTypeObject* record_type = nullptr;

struct RecordObject {
  PyObject_HEAD PyObject* id;
  PyObject* description;
  PyObject* sequence;
  PyObject* quality;
};

PyObject* Field(PyObject* value) { return value != nullptr ? value : Py_None; }

PyObject* RecordNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", "description", "sequence", "quality", nullptr};
  PyObject *id, *description, *sequence, *quality = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUO|O:Record", const_cast<char**>(keywords), &id,
                                   &description, &sequence, &quality)) {
    return nullptr;
  }
  if (quality != Py_None && !PyUnicode_Check(quality)) {
    PyErr_Format(PyExc_TypeError, "quality must be str or None, not %.200s",
                 Py_TYPE(quality)->tp_name);
    return nullptr;
  }
  return NewRecord(Py_NewRef(id), Py_NewRef(description), Py_NewRef(sequence), Py_NewRef(quality));
}

int RecordTraverse(PyObject* self, visitproc visit, void* arg) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(record->id);
  Py_VISIT(record->description);
  Py_VISIT(record->sequence);
  Py_VISIT(record->quality);
  return 0;
}

int RecordClear(PyObject* self) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  Py_CLEAR(record->id);
  Py_CLEAR(record->description);
  Py_CLEAR(record->sequence);
  Py_CLEAR(record->quality);
  return 0;
}

void RecordDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  RecordClear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

// repr of a field; a long sequence or quality shows its start and length.
PyObject* Shown(PyObject* value) {
  Py_ssize_t length = -1;
  PyObject* start = nullptr;
  if (PyUnicode_Check(value)) {
    length = PyUnicode_GET_LENGTH(value);
    if (length > kShown) start = PyUnicode_Substring(value, 0, kShown);
  } else if (PyBytes_Check(value)) {
    length = PyBytes_GET_SIZE(value);
    if (length > kShown) start = PyBytes_FromStringAndSize(PyBytes_AS_STRING(value), kShown);
  }
  if (length <= kShown) return PyObject_Repr(value);
  if (start == nullptr) return nullptr;
  PyObject* shown = PyUnicode_FromFormat("%R...(%zd long)", start, length);
  Py_DECREF(start);
  return shown;
}

PyObject* RecordRepr(PyObject* self) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  PyObject* sequence = Shown(Field(record->sequence));
  if (sequence == nullptr) return nullptr;
  PyObject* quality = Shown(Field(record->quality));
  if (quality == nullptr) {
    Py_DECREF(sequence);
    return nullptr;
  }
  PyObject* repr =
      PyUnicode_FromFormat("Record(id=%R, description=%R, sequence=%U, quality=%U)",
                           Field(record->id), Field(record->description), sequence, quality);
  Py_DECREF(sequence);
  Py_DECREF(quality);
  return repr;
}

PyObject* RecordFields(PyObject* self) {
  auto* record = reinterpret_cast<RecordObject*>(self);
  return PyTuple_Pack(4, Field(record->id), Field(record->description), Field(record->sequence),
                      Field(record->quality));
}

PyObject* RecordCompare(PyObject* self, PyObject* other, int op) {
  if (!PyObject_TypeCheck(other, record_type) || (op != Py_EQ && op != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  PyObject* mine = RecordFields(self);
  if (mine == nullptr) return nullptr;
  PyObject* theirs = RecordFields(other);
  if (theirs == nullptr) {
    Py_DECREF(mine);
    return nullptr;
  }
  PyObject* result = PyObject_RichCompare(mine, theirs, op);
  Py_DECREF(mine);
  Py_DECREF(theirs);
  return result;
}

Py_hash_t RecordHash(PyObject* self) {
  PyObject* fields = RecordFields(self);
  if (fields == nullptr) return -1;
  const Py_hash_t hash = PyObject_Hash(fields);
  Py_DECREF(fields);
  return hash;
}

PyObject* RecordReduce(PyObject* self, PyObject*) {
  PyObject* fields = RecordFields(self);
  if (fields == nullptr) return nullptr;
  return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(Py_TYPE(self)), fields);
}

PyMemberDef record_members[] = {
    {"id", Py_T_OBJECT_EX, offsetof(RecordObject, id), Py_READONLY, "The header's first word."},
    {"description", Py_T_OBJECT_EX, offsetof(RecordObject, description), Py_READONLY,
     "The rest of the header after the first run of whitespace; '' if none."},
    {"sequence", Py_T_OBJECT_EX, offsetof(RecordObject, sequence), Py_READONLY,
     "The sequence lines joined without their line ends (str), or its codes\n"
     "when read with an alphabet."},
    {"quality", Py_T_OBJECT_EX, offsetof(RecordObject, quality), Py_READONLY,
     "The quality lines joined (str) for FASTQ; None for FASTA."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef record_methods[] = {
    {"__reduce__", RecordReduce, METH_NOARGS,
     "Pickles as Record(id, description, sequence, quality)."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "Record[str] or Record[bytes]: the type of the sequence, for annotations."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_new, AsSlot(&RecordNew)},
    {Py_tp_dealloc, AsSlot(&RecordDealloc)},
    {Py_tp_traverse, AsSlot(&RecordTraverse)},
    {Py_tp_clear, AsSlot(&RecordClear)},
    {Py_tp_repr, AsSlot(&RecordRepr)},
    {Py_tp_richcompare, AsSlot(&RecordCompare)},
    {Py_tp_hash, AsSlot(&RecordHash)},
    {Py_tp_members, record_members},
    {Py_tp_methods, record_methods},
    {Py_tp_doc,
     const_cast<char*>("Record(id, description, sequence, quality=None)\n--\n\n"
                       "One FASTA or FASTQ record, as alphabet.read yields it.  Immutable;\n"
                       "records are equal when their four fields are.")},
    {0, nullptr},
};

}  // namespace

PyObject* NewRecord(PyObject* id, PyObject* description, PyObject* sequence, PyObject* quality) {
  auto* record = PyObject_GC_New(RecordObject, record_type);
  if (record == nullptr) {
    Py_DECREF(id);
    Py_DECREF(description);
    Py_DECREF(sequence);
    Py_DECREF(quality);
    return nullptr;
  }
  record->id = id;
  record->description = description;
  record->sequence = sequence;
  record->quality = quality;
  // Texts and bytes refer to nothing, so a record of them cannot be part of
  // a cycle: the collector need not follow the millions a file makes.  A
  // subclass's instance may refer to anything, the record included.
  const bool plain = PyUnicode_CheckExact(id) && PyUnicode_CheckExact(description) &&
                     (PyUnicode_CheckExact(sequence) || PyBytes_CheckExact(sequence)) &&
                     (quality == Py_None || PyUnicode_CheckExact(quality));
  if (!plain) PyObject_GC_Track(record);
  return reinterpret_cast<PyObject*>(record);
}

bool FieldsOfRecord(PyObject* object, BorrowedFields& fields) {
  if (!PyObject_TypeCheck(object, record_type)) return false;
  auto* record = reinterpret_cast<RecordObject*>(object);
  fields = {Field(record->id), Field(record->description), Field(record->sequence),
            Field(record->quality)};
  return true;
}

void PrefetchRecordFields(PyObject* object) {
  if (Py_TYPE(object) != record_type) return;
  auto* record = reinterpret_cast<RecordObject*>(object);
  for (PyObject* field : {record->id, record->description, record->sequence, record->quality}) {
    // The object's header and the start of a compact str's characters.
    __builtin_prefetch(field);
    __builtin_prefetch(reinterpret_cast<const char*>(field) + 64);
  }
}

bool AddRecords(PyObject* module) {
  const bool made = record_type != nullptr;
  if (!AddType(module, "Record",
               {.name = "alphabet.Record",
                .basicsize = sizeof(RecordObject),
                .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                .slots = record_slots},
               record_type))
    return false;
  if (made) return true;
  const Ref match_args(Py_BuildValue("(ssss)", "id", "description", "sequence", "quality"));
  return match_args && PyObject_SetAttrString(reinterpret_cast<PyObject*>(record_type),
                                              "__match_args__", match_args.get()) == 0;
}

}  // namespace native
