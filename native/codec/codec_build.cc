#include "native/codec/codec_build.h"

#include <algorithm>
#include <vector>

#include "native/codec/codec_lookup.h"
#include "native/codec/tokens.h"
#include "native/common/guard.h"
#include "native/common/ref.h"

namespace native {
namespace {

// The symbols as a tuple of exact strs (a subclass's value, not its type).
PyObject* CanonicalSymbols(PyObject* given) {
  PyObject* listed = PySequence_Tuple(given);
  if (listed == nullptr) return nullptr;
  const Py_ssize_t count = PyTuple_GET_SIZE(listed);
  bool exact = true;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(listed, i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "symbols are str, not %.200s (position %zd)",
                   Py_TYPE(item)->tp_name, i);
      Py_DECREF(listed);
      return nullptr;
    }
    exact = exact && PyUnicode_CheckExact(item);
  }
  if (exact) return listed;
  PyObject* copied = PyTuple_New(count);
  for (Py_ssize_t i = 0; copied != nullptr && i < count; ++i) {
    PyObject* item = PyUnicode_FromObject(PyTuple_GET_ITEM(listed, i));
    if (item == nullptr) {
      Py_CLEAR(copied);
    } else {
      PyTuple_SET_ITEM(copied, i, item);
    }
  }
  Py_DECREF(listed);
  return copied;
}

// A code given as an option: an int in [0, size).  -1 with an exception set.
int64_t OptionCode(PyObject* value, size_t size, const char* what, PyObject* named) {
  PyObject* integer = PyNumber_Index(value);
  if (integer == nullptr) return -1;
  int overflow = 0;
  const long long code = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (overflow == 0 && code >= 0 && static_cast<unsigned long long>(code) < size) {
    Py_DECREF(integer);
    return code;
  }
  if (!PyErr_Occurred()) {
    if (named != nullptr) {
      PyErr_Format(PyExc_ValueError, "%s %R names code %S; the alphabet's codes are 0 to %zd", what,
                   named, integer, static_cast<Py_ssize_t>(size) - 1);
    } else {
      PyErr_Format(PyExc_ValueError, "%s code %S is not a code; the alphabet's codes are 0 to %zd",
                   what, integer, static_cast<Py_ssize_t>(size) - 1);
    }
  }
  Py_DECREF(integer);
  return -1;
}

struct Spelling {
  PyObject* text;  // an exact str, owned
  uint32_t code;
};

class Spellings {
 public:
  ~Spellings() {
    for (const Spelling& s : list_) Py_DECREF(s.text);
  }
  const std::vector<Spelling>& list() const { return list_; }

  bool Read(PyObject* mapping, size_t size) {
    if (mapping == nullptr || mapping == Py_None) return true;
    PyObject* items = PyMapping_Items(mapping);
    if (items == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_TypeError, "spellings must be a mapping of str to int, not %.200s",
                     Py_TYPE(mapping)->tp_name);
      }
      return false;
    }
    // items() may give a list that the mapping keeps, and a code's __index__
    // may change it: its size is read afresh, and each pair is held while
    // it is read.
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(items); ++i) {
      PyObject* pair = Py_NewRef(PyList_GET_ITEM(items, i));
      ok = ReadPair(pair, size);
      Py_DECREF(pair);
    }
    Py_DECREF(items);
    return ok;
  }

 private:
  bool ReadPair(PyObject* pair, size_t size) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "spellings.items() must give (str, int) pairs");
      return false;
    }
    PyObject* text = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(text)) {
      PyErr_Format(PyExc_TypeError, "spellings are str, not %.200s", Py_TYPE(text)->tp_name);
      return false;
    }
    const int64_t code = OptionCode(PyTuple_GET_ITEM(pair, 1), size, "spelling", text);
    if (code < 0) return false;
    Ref exact(PyUnicode_FromObject(text));
    if (!exact || !PushBack(list_, Spelling{exact.get(), static_cast<uint32_t>(code)}))
      return false;
    exact.Take();  // now the list's
    return true;
  }

  std::vector<Spelling> list_;
};

// Adds `lower` -> `code` to a lowercase table: a form that two codes share
// belongs to neither.
void AddFolded(SymbolTable& table, TextKey lower, uint32_t code) {
  if (table.Insert(lower, code) != code) table.Assign(lower, kAmbiguous);
}

bool AddCaseForms(CodecTables& tables, PyObject* character) {
  // The other-case forms of one character that are one character
  // themselves; each goes where its lowercase form leads.
  const Ref lower(PyObject_CallOneArg(str_lower, character));
  const Ref forms[] = {
      Ref(PyObject_CallOneArg(str_upper, character)),
      Ref(PyObject_CallOneArg(str_title, character)),
      Ref(lower ? PyObject_CallOneArg(str_upper, lower.get()) : nullptr),
  };
  bool ok = true;
  const auto add = [&](PyObject* form) {
    if (form == nullptr) {
      ok = false;
      return;
    }
    if (PyUnicode_GET_LENGTH(form) != 1 || PyUnicode_READ_CHAR(form, 0) < 256) return;
    if (tables.exact.Find(KeyOf(form)) != kNoCode) return;
    LowerKey folded;
    if (!folded.Of(form)) {
      ok = false;
      return;
    }
    const uint32_t code = FoldedCode(tables, folded.key());
    if (code != kNoCode) tables.wide_chars.Assign(PyUnicode_READ_CHAR(form, 0), code);
  };
  add(lower.get());
  for (const Ref& form : forms) add(form.get());
  return ok;
}

// The code points of the symbols, for decoding one-character alphabets.
void BuildDecodeTables(CodecTables& tables, PyObject* symbols) {
  const size_t size = tables.size;
  tables.code_points.resize(size);
  for (size_t code = 0; code < size; ++code) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(PyTuple_GET_ITEM(symbols, code), 0);
    tables.code_points[code] = c;
    tables.max_code_point = std::max<uint32_t>(tables.max_code_point, c);
  }
  if (size <= 256 && tables.max_code_point < 256) {
    int32_t images[256];
    for (int code = 0; code < 256; ++code) {
      const bool valid = static_cast<size_t>(code) < size;
      images[code] = valid ? static_cast<int32_t>(tables.code_points[code]) : -1;
    }
    tables.decode_bytes.emplace(images);
  }
}

// The tables of characters: what each one codes to as a one-character
// symbol, and with longer symbols where tokens may start.
bool BuildCharTables(CodecTables& tables, PyObject* symbols, const Spellings& spellings) {
  const size_t size = tables.size;
  for (int c = 0; c < 256; ++c) {
    const Py_UCS1 byte = static_cast<Py_UCS1>(c);
    uint32_t code = tables.exact.Find({&byte, 1, 1});
    if (code == kNoCode && tables.ignore_case) {
      PyObject* character = PyUnicode_FromOrdinal(c);
      LowerKey lower;
      const bool ok = character != nullptr && lower.Of(character);
      Py_XDECREF(character);
      if (!ok) return false;
      code = FoldedCode(tables, lower.key());
    }
    if (code == kNoCode) code = tables.unknown;
    tables.char_codes[c] = code == kNoCode ? -1 : static_cast<int32_t>(code);
  }

  // Borrowed: the symbols and spellings of one character, and the longer ones.
  std::vector<PyObject*> characters;
  std::vector<PyObject*> longer;
  auto sort = [&](PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 1) characters.push_back(text);
    if (length > 1) longer.push_back(text);
  };
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(symbols); ++i) sort(PyTuple_GET_ITEM(symbols, i));
  for (const Spelling& s : spellings.list()) sort(s.text);
  for (PyObject* character : characters) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(character, 0);
    if (c >= 256) tables.wide_chars.Assign(c, tables.exact.Find(KeyOf(character)));
  }
  if (tables.ignore_case) {
    for (PyObject* character : characters) {
      if (!AddCaseForms(tables, character)) return false;
    }
  }
  // An alphabet of one-character symbols looks for no longer spelling in a
  // text: its texts code exactly one code per character.
  if (!tables.one_char && !longer.empty() && !BuildTokenTables(tables, longer)) return false;

  if (size <= 256) {
    tables.encode_bytes.emplace(tables.char_codes);
  } else if (size <= 65536) {
    tables.encode_wide_bytes.emplace(tables.char_codes);
  }
  if (tables.one_char) BuildDecodeTables(tables, symbols);
  return true;
}

bool BuildTables(CodecTables& tables, PyObject* symbols, const Spellings& spellings) {
  const size_t size = tables.size;
  tables.exact = SymbolTable(size + spellings.list().size());
  for (size_t code = 0; code < size; ++code) {
    // A later occurrence takes the text over: a symbol's code is its last position.
    tables.exact.Assign(KeyOf(PyTuple_GET_ITEM(symbols, code)), static_cast<uint32_t>(code));
  }
  for (const Spelling& s : spellings.list()) tables.exact.Insert(KeyOf(s.text), s.code);

  if (tables.ignore_case) {
    for (size_t code = 0; code < size; ++code) {
      PyObject* symbol = PyTuple_GET_ITEM(symbols, code);
      if (tables.exact.Find(KeyOf(symbol)) != code) continue;  // occurs again later
      LowerKey lower;
      if (!lower.Of(symbol)) return false;
      AddFolded(tables.folded_symbols, lower.key(), static_cast<uint32_t>(code));
    }
    for (const Spelling& s : spellings.list()) {
      LowerKey lower;
      if (!lower.Of(s.text)) return false;
      AddFolded(tables.folded_spellings, lower.key(), tables.exact.Find(KeyOf(s.text)));
    }
  }
  tables.one_char = true;
  for (size_t code = 0; code < size; ++code) {
    tables.one_char = tables.one_char && PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(symbols, code)) == 1;
  }
  return BuildCharTables(tables, symbols, spellings);
}

}  // namespace

PyObject* BuildCodecTables(PyObject* given, PyObject* spellings_given, PyObject* unknown,
                           bool ignore_case, CodecTables& tables) {
  Ref symbols(CanonicalSymbols(given));
  if (!symbols) return nullptr;
  tables.size = static_cast<size_t>(PyTuple_GET_SIZE(symbols.get()));
  tables.ignore_case = ignore_case;
  Spellings spellings;
  bool ok = tables.size < kAmbiguous;
  if (!ok) PyErr_SetString(PyExc_ValueError, "too many symbols for a codec");
  ok = ok && spellings.Read(spellings_given, tables.size);
  if (ok && unknown != Py_None) {
    const int64_t code = OptionCode(unknown, tables.size, "unknown", nullptr);
    ok = code >= 0;
    tables.unknown = ok ? static_cast<uint32_t>(code) : kNoCode;
  }
  // Running out of memory throws on to the codec's constructor, which turns
  // it into MemoryError.
  if (ok && BuildTables(tables, symbols.get(), spellings)) return symbols.Take();
  return nullptr;
}

}  // namespace native
