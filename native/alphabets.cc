#include "native/alphabets.h"

#include <cstdlib>
#include <cstring>

#include "native/flat_api.h"
#include "native/held.h"
#include "native/items.h"

namespace native {
namespace {

PyObject* alphabet_error = nullptr;

// Appends one symbol, given as UTF-8 without NUL, to the string sequence.
bool AppendSymbol(int64_t sequence, const char* utf8) {
  Flat().Slice_string_append(sequence, utf8);
  return !PyErr_Occurred();
}

bool RefuseSymbol(PyObject* symbol, Py_ssize_t position) {
  PyObject* message = PyUnicode_FromFormat(
      "symbol %R cannot be held: it contains a NUL character or a lone surrogate", symbol);
  if (message != nullptr) {
    RaiseAlphabetError(message, position);
    Py_DECREF(message);
  }
  return false;
}

// One item of an iterable of symbols.
bool AppendItem(int64_t sequence, PyObject* item, Py_ssize_t position) {
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError, "symbols are str, not %.200s (position %zd)",
                 Py_TYPE(item)->tp_name, position);
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (utf8 == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();  // a lone surrogate has no UTF-8 form
    return RefuseSymbol(item, position);
  }
  if (std::strlen(utf8) != static_cast<size_t>(size)) return RefuseSymbol(item, position);
  return AppendSymbol(sequence, utf8);
}

// Every character of a str is one symbol; no str object is made for it.
bool AppendCharacters(int64_t sequence, PyObject* text, int64_t& count) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    char utf8[5];
    if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) {
      PyObject* symbol = PyUnicode_FromOrdinal(static_cast<int>(c));
      if (symbol == nullptr) return false;
      RefuseSymbol(symbol, i);
      Py_DECREF(symbol);
      return false;
    }
    if (c < 0x80) {
      utf8[0] = static_cast<char>(c);
      utf8[1] = '\0';
    } else if (c < 0x800) {
      utf8[0] = static_cast<char>(0xC0 | (c >> 6));
      utf8[1] = static_cast<char>(0x80 | (c & 0x3F));
      utf8[2] = '\0';
    } else if (c < 0x10000) {
      utf8[0] = static_cast<char>(0xE0 | (c >> 12));
      utf8[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8[2] = static_cast<char>(0x80 | (c & 0x3F));
      utf8[3] = '\0';
    } else {
      utf8[0] = static_cast<char>(0xF0 | (c >> 18));
      utf8[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8[3] = static_cast<char>(0x80 | (c & 0x3F));
      utf8[4] = '\0';
    }
    if (!AppendSymbol(sequence, utf8)) return false;
  }
  count = length;
  return true;
}

bool AppendAll(int64_t sequence, PyObject* symbols, int64_t& count) {
  if (PyUnicode_Check(symbols)) return AppendCharacters(sequence, symbols, count);
  // No Python code runs for an item, but a conversion may allocate and a
  // collection may run finalizers: each item is held while it is appended.
  Py_ssize_t appended = 0;
  const bool ok = ForEachItem(
      symbols,
      [&](PyObject* item, Py_ssize_t position) {
        Py_INCREF(item);
        const bool appended_one = AppendItem(sequence, item, position);
        Py_DECREF(item);
        return appended_one;
      },
      &appended);
  if (!ok) return false;
  count = appended;
  return true;
}

PyTypeObject* CheckHeldClass(PyObject* cls) {
  if (PyType_Check(cls) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), HeldType())) {
    return reinterpret_cast<PyTypeObject*>(cls);
  }
  PyErr_Format(PyExc_TypeError, "expected a subclass of Held, not %R", cls);
  return nullptr;
}

bool CheckArgs(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

// (instance, count) for a fresh alphabet handle; the handle is released on
// failure.
PyObject* AdoptedWithCount(PyTypeObject* cls, int64_t fresh, int64_t count) {
  if (PyErr_Occurred()) {
    ReleaseFresh(fresh);
    return nullptr;
  }
  PyObject* object = AdoptFresh(cls, fresh);
  if (object == nullptr) return nullptr;
  PyObject* result = Py_BuildValue("(NL)", object, static_cast<long long>(count));
  return result;
}

// new_alphabet(cls, symbols) -> (instance, number of symbols)
PyObject* NewAlphabet(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!CheckArgs("new_alphabet", nargs, 2)) return nullptr;
  PyTypeObject* cls = CheckHeldClass(args[0]);
  if (cls == nullptr) return nullptr;
  int64_t count = 0;
  FreshHandle listed(NewSymbolSequence(args[1], count));
  if (listed.get() < 0) return nullptr;
  const int64_t fresh = Flat().alphabet_NewAlphabet(listed.get());
  return AdoptedWithCount(cls, fresh, count);
}

// extend_alphabet(alphabet, symbols) -> (instance of type(alphabet), number added)
PyObject* ExtendAlphabet(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!CheckArgs("extend_alphabet", nargs, 2)) return nullptr;
  const int64_t receiver = HandleOf(args[0], "an Alphabet");
  if (receiver < 0) return nullptr;
  int64_t count = 0;
  FreshHandle added(NewSymbolSequence(args[1], count));
  if (added.get() < 0) return nullptr;
  const int64_t fresh = Flat().alphabet_Alphabet_Extend(receiver, added.get());
  if (fresh < 0 && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_ValueError, "the alphabet owns no registry entry");
    return nullptr;
  }
  return AdoptedWithCount(Py_TYPE(args[0]), fresh, count);
}

// alphabet_symbols(alphabet) -> tuple of its symbols in code order
PyObject* AlphabetSymbols(PyObject*, PyObject* alphabet) {
  const int64_t handle = HandleOf(alphabet, "an Alphabet");
  if (handle < 0) return nullptr;
  FreshHandle listed(Flat().alphabet_Alphabet_Symbols(handle));
  if (PyErr_Occurred()) return nullptr;
  if (listed.get() < 0) {
    PyErr_SetString(PyExc_ValueError, "the alphabet owns no registry entry");
    return nullptr;
  }
  const int64_t count = Flat().Slice_string_len(listed.get());
  PyObject* symbols = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (symbols == nullptr) return nullptr;
  for (int64_t i = 0; i < count; ++i) {
    char* text = Flat().Slice_string_elem(listed.get(), i);
    PyObject* symbol = PyErr_Occurred() ? nullptr : PyUnicode_FromString(text);
    std::free(text);
    if (symbol == nullptr) {
      Py_DECREF(symbols);
      return nullptr;
    }
    PyTuple_SET_ITEM(symbols, static_cast<Py_ssize_t>(i), symbol);
  }
  return symbols;
}

// standard_alphabet(cls, name) -> instance, or None while the reference is cleared
PyObject* StandardAlphabet(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!CheckArgs("standard_alphabet", nargs, 2)) return nullptr;
  PyTypeObject* cls = CheckHeldClass(args[0]);
  if (cls == nullptr) return nullptr;
  const char* name = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8(args[1]) : nullptr;
  int64_t (*getter)() = nullptr;
  if (name != nullptr && std::strcmp(name, "dna") == 0) getter = Flat().alphabet_DNA;
  if (name != nullptr && std::strcmp(name, "rna") == 0) getter = Flat().alphabet_RNA;
  if (name != nullptr && std::strcmp(name, "protein") == 0) getter = Flat().alphabet_Protein;
  if (getter == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_ValueError, "no standard alphabet %R; expected dna, rna or protein",
                   args[1]);
    }
    return nullptr;
  }
  const int64_t fresh = getter();
  if (PyErr_Occurred()) {
    ReleaseFresh(fresh);
    return nullptr;
  }
  if (fresh < 0) Py_RETURN_NONE;
  return AdoptFresh(cls, fresh);
}

#define FASTCALL(function) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function)), METH_FASTCALL

PyMethodDef alphabet_functions[] = {
    {"new_alphabet", FASTCALL(NewAlphabet),
     "new_alphabet(cls, symbols, /)\n--\n\n"
     "(An instance of cls owning a new alphabet of symbols, the number of symbols)."},
    {"extend_alphabet", FASTCALL(ExtendAlphabet),
     "extend_alphabet(alphabet, symbols, /)\n--\n\n"
     "(A new alphabet of alphabet's symbols followed by symbols, the number added)."},
    {"alphabet_symbols", AlphabetSymbols, METH_O,
     "alphabet_symbols(alphabet, /)\n--\n\nThe symbols of alphabet in code order, as a tuple."},
    {"standard_alphabet", FASTCALL(StandardAlphabet),
     "standard_alphabet(cls, name, /)\n--\n\n"
     "An instance of cls owning a new handle of the standard alphabet name\n"
     "('dna', 'rna' or 'protein'), or None while it is cleared."},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL

}  // namespace

PyObject* AlphabetError() { return alphabet_error; }

void RaiseAlphabetError(PyObject* message, Py_ssize_t position) {
  PyObject* error = position < 0 ? PyObject_CallFunction(alphabet_error, "(OO)", message, Py_None)
                                 : PyObject_CallFunction(alphabet_error, "(On)", message, position);
  if (error == nullptr) return;
  PyErr_SetObject(alphabet_error, error);
  Py_DECREF(error);
}

int64_t NewSymbolSequence(PyObject* symbols, int64_t& count) {
  FreshHandle listed(Flat().Slice_string_CTor());
  if (PyErr_Occurred()) return -1;
  if (!AppendAll(listed.get(), symbols, count)) return -1;
  return listed.Take();
}

bool AddAlphabets(PyObject* module) {
  PyObject* errors = PyImport_ImportModule("alphabet._errors");
  if (errors == nullptr) return false;
  alphabet_error = PyObject_GetAttrString(errors, "AlphabetError");
  Py_DECREF(errors);
  if (alphabet_error == nullptr) return false;
  return PyModule_AddFunctions(module, alphabet_functions) == 0;
}

}  // namespace native
