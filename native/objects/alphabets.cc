#include "native/objects/alphabets.h"

#include <cstdlib>
#include <cstring>

#include "native/common/errors.h"
#include "native/common/flat_api.h"
#include "native/common/items.h"
#include "native/common/methods.h"
#include "native/common/ref.h"
#include "native/common/text.h"
#include "native/objects/held.h"

namespace native {
namespace {

// Appends one symbol, given as UTF-8 without NUL, to the string sequence.
bool AppendSymbol(int64_t sequence, const char* utf8) {
  Flat().Slice_string_append(sequence, utf8);
  return !PyErr_Occurred();
}

bool RefuseSymbol(PyObject* symbol, Py_ssize_t position) {
  const Ref message(PyUnicode_FromFormat(
      "symbol %R cannot be held: it contains a NUL character or a lone surrogate", symbol));
  if (message) RaiseAlphabetError(message.get(), position);
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
  const char* utf8 = HoldableUtf8(item, size);
  if (utf8 == nullptr) return !PyErr_Occurred() && RefuseSymbol(item, position);
  return AppendSymbol(sequence, utf8);
}

// Every character of a str is one symbol; no str object is made for it.
bool AppendCharacters(int64_t sequence, PyObject* text, int64_t& count) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (!Holdable(c)) {
      const Ref symbol(PyUnicode_FromOrdinal(static_cast<int>(c)));
      return symbol && RefuseSymbol(symbol.get(), i);
    }
    char utf8[5];
    EncodeUtf8(c, utf8);
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
  if (!CheckArgCount("new_alphabet", nargs, 2)) return nullptr;
  PyTypeObject* cls = HeldSubtype(args[0]);
  if (cls == nullptr) return nullptr;
  int64_t count = 0;
  FreshHandle listed(NewSymbolSequence(args[1], count));
  if (listed.get() < 0) return nullptr;
  const int64_t fresh = Flat().alphabet_NewAlphabet(listed.get());
  return AdoptedWithCount(cls, fresh, count);
}

// extend_alphabet(alphabet, symbols) -> (instance of type(alphabet), number added)
PyObject* ExtendAlphabet(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!CheckArgCount("extend_alphabet", nargs, 2)) return nullptr;
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
  if (!CheckArgCount("standard_alphabet", nargs, 2)) return nullptr;
  PyTypeObject* cls = HeldSubtype(args[0]);
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

PyMethodDef alphabet_functions[] = {
    {"new_alphabet", AsMethod(&NewAlphabet), METH_FASTCALL,
     "new_alphabet(cls, symbols, /)\n--\n\n"
     "(An instance of cls owning a new alphabet of symbols, the number of symbols)."},
    {"extend_alphabet", AsMethod(&ExtendAlphabet), METH_FASTCALL,
     "extend_alphabet(alphabet, symbols, /)\n--\n\n"
     "(A new alphabet of alphabet's symbols followed by symbols, the number added)."},
    {"alphabet_symbols", AlphabetSymbols, METH_O,
     "alphabet_symbols(alphabet, /)\n--\n\nThe symbols of alphabet in code order, as a tuple."},
    {"standard_alphabet", AsMethod(&StandardAlphabet), METH_FASTCALL,
     "standard_alphabet(cls, name, /)\n--\n\n"
     "An instance of cls owning a new handle of the standard alphabet name\n"
     "('dna', 'rna' or 'protein'), or None while it is cleared."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int64_t NewSymbolSequence(PyObject* symbols, int64_t& count) {
  FreshHandle listed(Flat().Slice_string_CTor());
  if (PyErr_Occurred()) return -1;
  if (!AppendAll(listed.get(), symbols, count)) return -1;
  return listed.Take();
}

bool AddAlphabets(PyObject* module) {
  return PyModule_AddFunctions(module, alphabet_functions) == 0;
}

}  // namespace native
