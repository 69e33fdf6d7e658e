#include "native/codec/codec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "kernels/text.h"
#include "kernels/translate.h"
#include "native/codec/code_buffers.h"
#include "native/codec/codec_build.h"
#include "native/codec/codec_lookup.h"
#include "native/codec/text_runs.h"
#include "native/codec/tokens.h"
#include "native/common/buffers.h"
#include "native/common/errors.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/items.h"
#include "native/common/methods.h"
#include "native/common/ref.h"
#include "native/common/text.h"

namespace native {
namespace {

struct CodecObject {
  PyObject_HEAD CodecTables* tables;
  PyObject* symbols;  // a tuple of exact strs, in code order
  Py_ssize_t size;
  char one_char;
};

const CodecTables& TablesOf(PyObject* self) {
  return *reinterpret_cast<CodecObject*>(self)->tables;
}

void RaiseUnknownSymbol(PyObject* symbol, Py_ssize_t position) {
  const Ref message(position < 0 ? PyUnicode_FromFormat("Symbol %R not in alphabet", symbol)
                                 : PyUnicode_FromFormat("Symbol %R not in alphabet at position %zd",
                                                        symbol, position));
  if (message) RaiseAlphabetError(message.get(), position);
}

void RaiseUnknownCharacter(Py_UCS4 c, size_t position) {
  const Ref symbol(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (symbol) RaiseUnknownSymbol(symbol.get(), static_cast<Py_ssize_t>(position));
}

PyObject* CodecNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"symbols", "spellings", "unknown", "ignore_case", nullptr};
  PyObject* given = nullptr;
  PyObject* spellings_given = Py_None;
  PyObject* unknown = Py_None;
  int ignore_case = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOp:Codec", const_cast<char**>(keywords),
                                   &given, &spellings_given, &unknown, &ignore_case)) {
    return nullptr;
  }
  if (PyUnicode_Check(given)) {
    // A str would pass as its characters; the caller splits texts itself.
    PyErr_SetString(PyExc_TypeError, "symbols must be a tuple of str, not a str");
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    auto tables = std::make_unique<CodecTables>();
    PyObject* symbols =
        BuildCodecTables(given, spellings_given, unknown, ignore_case != 0, *tables);
    if (symbols == nullptr) return nullptr;
    auto* self = reinterpret_cast<CodecObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
      Py_DECREF(symbols);
      return nullptr;
    }
    self->size = static_cast<Py_ssize_t>(tables->size);
    self->one_char = tables->one_char ? 1 : 0;
    self->tables = tables.release();
    self->symbols = symbols;
    return reinterpret_cast<PyObject*>(self);
  });
}

void CodecDealloc(PyObject* self) {
  auto* codec = reinterpret_cast<CodecObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete codec->tables;
  Py_XDECREF(codec->symbols);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- encoding

// Calls `work` with the result's memory typed by the codec's code width.
template <class Work>
size_t WithCodeType(size_t width, void* data, Work&& work) {
  switch (width) {
    case 1: return work(static_cast<uint8_t*>(data));
    case 2: return work(static_cast<uint16_t*>(data));
    default: return work(static_cast<uint32_t*>(data));
  }
}

// A text cut into tokens (tokens.h): fewer codes than characters when a
// token occurs, and then the result is cut to its codes.
template <class Char>
PyObject* EncodeTokenText(const CodecTables& tables, const Char* in, size_t n) {
  CodeOutput result;
  const size_t width = tables.code_width();
  if (!result.Make(width, n)) return nullptr;
  TokenRun run{};
  WithCodeType(width, result.data(), [&](auto* out) {
    // With ignore_case a piece of text may need str.lower, so the lock stays.
    auto encode = [&] { return EncodeTokens(tables, in, n, out); };
    run = tables.ignore_case ? encode() : Unlocked(n, encode);
    return size_t{0};
  });
  if (run.failed) return nullptr;
  if (run.read < n) {
    RaiseUnknownCharacter(in[run.read], run.read);
    return nullptr;
  }
  Ref codes(result.Take());
  if (run.written == n) return codes.Take();
  return PySequence_GetSlice(codes.get(), 0, static_cast<Py_ssize_t>(run.written));
}

PyObject* EncodeLatin1Text(const CodecTables& tables, const uint8_t* in, size_t n) {
  if (tables.tokens()) return EncodeTokenText(tables, in, n);
  CodeOutput result;
  if (!result.Make(tables.code_width(), n)) return nullptr;
  const size_t refused = WithCodeType(tables.code_width(), result.data(), [&](auto* out) {
    return Unlocked(n, [&] { return TranslateBytes(tables, in, out, n); });
  });
  if (refused < n) {
    RaiseUnknownCharacter(in[refused], refused);
    return nullptr;
  }
  return result.Take();
}

template <class Char>
PyObject* EncodeChars(const CodecTables& tables, const Char* in, size_t n) {
  if (tables.tokens()) return EncodeTokenText(tables, in, n);
  CodeOutput result;
  if (!result.Make(tables.code_width(), n)) return nullptr;
  const bool failed = WithCodeType(tables.code_width(), result.data(), [&](auto* out) -> size_t {
    size_t at = 0;
    while (at < n) {
      // With ignore_case a character may need str.lower, so the lock stays.
      auto translate = [&] { return at + TranslateText(tables, in + at, out + at, n - at); };
      at = tables.ignore_case ? translate() : Unlocked(n - at, translate);
      if (at == n) break;
      const int64_t code = tables.ignore_case ? LookupCharacter(tables, in[at]) : -1;
      if (code == kLookupFailed) return 1;
      if (code < 0) {
        RaiseUnknownCharacter(in[at], at);
        return 1;
      }
      out[at++] = static_cast<std::remove_reference_t<decltype(*out)>>(code);
    }
    return 0;
  });
  return failed ? nullptr : result.Take();
}

PyObject* EncodeStr(const CodecTables& tables, PyObject* text) {
  const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return EncodeLatin1Text(tables, static_cast<const uint8_t*>(data), n);
    case PyUnicode_2BYTE_KIND: return EncodeChars(tables, static_cast<const Py_UCS2*>(data), n);
    default: return EncodeChars(tables, static_cast<const Py_UCS4*>(data), n);
  }
}

PyObject* EncodeItems(const CodecTables& tables, PyObject* items) {
  std::vector<uint32_t> codes;
  // One item; `item` is borrowed and is only held (a reference taken) while
  // Python code may run, which could otherwise let the list drop it.
  auto add = [&](PyObject* item, Py_ssize_t position) -> bool {
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "symbols are str, not %.200s (position %zd)",
                   Py_TYPE(item)->tp_name, position);
      return false;
    }
    int64_t code = QuickLookup(tables, item);
    if (code >= 0) return PushBack(codes, static_cast<uint32_t>(code));
    const Ref held = Ref::Of(item);
    if (code == kNeedsLowercase) code = LowercaseLookup(tables, item);
    if (code >= 0) return PushBack(codes, static_cast<uint32_t>(code));
    if (code != kLookupFailed) RaiseUnknownSymbol(item, position);
    return false;
  };
  if (PyList_Check(items) || PyTuple_Check(items)) {
    codes.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(items)));
  }
  if (!ForEachItem</*kPrefetch=*/true>(items, add)) return nullptr;
  CodeOutput result;
  if (!result.Make(tables.code_width(), codes.size())) return nullptr;
  WithCodeType(tables.code_width(), result.data(), [&](auto* out) -> size_t {
    std::copy(codes.begin(), codes.end(), out);
    return 0;
  });
  return result.Take();
}

PyObject* CodecEncode(PyObject* self, PyObject* symbols) {
  const CodecTables& tables = TablesOf(self);
  return Guarded([&]() -> PyObject* {
    if (PyUnicode_Check(symbols)) return EncodeStr(tables, symbols);
    if (CodeSource::IsBuffer(symbols)) {
      PinnedBuffer pinned;
      if (!PinTextBytes(symbols, pinned)) return nullptr;
      return EncodeLatin1Text(tables, static_cast<const uint8_t*>(pinned.data()), pinned.items());
    }
    return EncodeItems(tables, symbols);
  });
}

PyObject* CodecEncodeOne(PyObject* self, PyObject* symbol) {
  if (!PyUnicode_Check(symbol)) {
    PyErr_Format(PyExc_TypeError, "a symbol is a str, not %.200s", Py_TYPE(symbol)->tp_name);
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    const int64_t code = LookupSymbol(TablesOf(self), symbol);
    if (code >= 0) return PyLong_FromLongLong(code);
    if (code != kLookupFailed) RaiseUnknownSymbol(symbol, -1);
    return nullptr;
  });
}

// ---- decoding

constexpr char kNotInAlphabet[] = "not in alphabet";

// The codes `codes` holds, pinned or gathered; false with an exception set.
bool OpenCodes(PyObject* codes, const CodecTables& tables, CodeSource& source) {
  if (PyUnicode_Check(codes)) {
    PyErr_SetString(PyExc_TypeError, "codes are ints, not a str");
    return false;
  }
  if (CodeSource::IsBuffer(codes)) return source.OpenBuffer(codes);
  return source.Gather(codes, uint64_t{tables.size}, kNotInAlphabet);
}

// Codes -> character bytes through the decode map; the first code refused.
size_t TranslateCodes(const CodecTables& tables, const CodeSpan& source, uint8_t* out) {
  const size_t n = source.size();
  return VisitCodes(source, [&](const auto* in) {
    if constexpr (std::is_same_v<decltype(in), const uint8_t*>) {
      return kernels::TranslateChecked(in, out, n, *tables.decode_bytes);
    } else {
      return kernels::TranslateWideChecked(in, out, n, *tables.decode_bytes);
    }
  });
}

PyObject* DecodeBytes(const CodecTables& tables, const CodeSpan& source) {
  const size_t n = source.size();
  const bool ascii = tables.max_code_point < 0x80;
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(n), ascii ? 0x7F : 0xFF);
  if (text == nullptr) return nullptr;
  uint8_t* out = PyUnicode_1BYTE_DATA(text);
  HintHugePages(out, n);
  const size_t refused = Unlocked(n, [&] { return TranslateCodes(tables, source, out); });
  if (refused < n) {
    Py_DECREF(text);
    RaiseBadCode(source, refused, kNotInAlphabet);
    return nullptr;
  }
  if (ascii || !kernels::IsAscii(out, n)) return text;
  // Every character decoded is ASCII: a str stores such a text as ASCII.
  PyObject* narrowed =
      PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, out, static_cast<Py_ssize_t>(n));
  Py_DECREF(text);
  return narrowed;
}

template <class Char>
PyObject* DecodeChars(const CodecTables& tables, const CodeSpan& source, int kind) {
  const size_t n = source.size();
  std::vector<Char> chars(n);
  CodeValue bad{};
  const size_t stop = VisitCodes(source, [&](const auto* codes) {
    for (size_t i = 0; i < n; ++i) {
      const auto code = ReadOnce(codes + i);
      if (!CodeBelow(code, tables.size, bad)) return i;
      chars[i] = static_cast<Char>(tables.code_points[static_cast<size_t>(code)]);
    }
    return n;
  });
  if (stop < n) {
    RaiseBadCode(bad, stop, kNotInAlphabet);
    return nullptr;
  }
  return PyUnicode_FromKindAndData(kind, chars.data(), static_cast<Py_ssize_t>(n));
}

// Calls visit(i, code, symbol) for each code of `source` in turn, each code
// read once; returns the index of the first code outside the alphabet (its
// value in `bad`), or n.
template <class Visit>
size_t ForEachSymbol(const CodeSpan& source, const CodecTables& tables, PyObject* symbols,
                     CodeValue& bad, Visit&& visit) {
  const size_t n = source.size();
  return VisitCodes(source, [&](const auto* in) {
    for (size_t i = 0; i < n; ++i) {
      const auto code = ReadOnce(in + i);
      if (!CodeBelow(code, tables.size, bad)) return i;
      visit(i, static_cast<uint32_t>(code),
            PyTuple_GET_ITEM(symbols, static_cast<Py_ssize_t>(code)));
    }
    return n;
  });
}

// The symbols of the codes joined, for alphabets of longer symbols.  The
// codes are read once, checked, and kept: a buffer another thread writes to
// meanwhile cannot make the two passes disagree.
PyObject* DecodeJoined(PyObject* symbols, const CodecTables& tables, const CodeSpan& source) {
  const size_t n = source.size();
  std::vector<uint32_t> checked(n);
  size_t total = 0;
  Py_UCS4 widest = 0;
  CodeValue bad{};
  const size_t stop =
      ForEachSymbol(source, tables, symbols, bad, [&](size_t i, uint32_t code, PyObject* symbol) {
        checked[i] = code;
        total += static_cast<size_t>(PyUnicode_GET_LENGTH(symbol));
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(symbol));
      });
  if (stop < n) {
    RaiseBadCode(bad, stop, kNotInAlphabet);
    return nullptr;
  }
  Ref text(PyUnicode_New(static_cast<Py_ssize_t>(total), widest));
  if (!text) return nullptr;
  Py_ssize_t at = 0;
  for (const uint32_t code : checked) {
    PyObject* symbol = PyTuple_GET_ITEM(symbols, static_cast<Py_ssize_t>(code));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(symbol);
    if (PyUnicode_CopyCharacters(text.get(), at, symbol, 0, length) < 0) return nullptr;
    at += length;
  }
  return text.Take();
}

PyObject* DecodeSpan(PyObject* self, const CodeSpan& source) {
  const CodecTables& tables = TablesOf(self);
  if (!tables.one_char) {
    return DecodeJoined(reinterpret_cast<CodecObject*>(self)->symbols, tables, source);
  }
  if (tables.decode_bytes) return DecodeBytes(tables, source);
  if (tables.max_code_point < 0x100) {
    return DecodeChars<Py_UCS1>(tables, source, PyUnicode_1BYTE_KIND);
  }
  if (tables.max_code_point < 0x10000) {
    return DecodeChars<Py_UCS2>(tables, source, PyUnicode_2BYTE_KIND);
  }
  return DecodeChars<Py_UCS4>(tables, source, PyUnicode_4BYTE_KIND);
}

PyObject* CodecDecodeStr(PyObject* self, PyObject* codes) {
  return Guarded([&]() -> PyObject* {
    CodeSource source;
    if (!OpenCodes(codes, TablesOf(self), source)) return nullptr;
    return DecodeSpan(self, source.span());
  });
}

PyObject* CodecDecodeList(PyObject* self, PyObject* codes) {
  const CodecTables& tables = TablesOf(self);
  PyObject* symbols = reinterpret_cast<CodecObject*>(self)->symbols;
  return Guarded([&]() -> PyObject* {
    CodeSource source;
    if (!OpenCodes(codes, tables, source)) return nullptr;
    const size_t n = source.size();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return nullptr;
    CodeValue bad{};
    const size_t stop = ForEachSymbol(
        source.span(), tables, symbols, bad, [&](size_t i, uint32_t, PyObject* symbol) {
          PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(symbol));
        });
    if (stop < n) {
      Py_DECREF(list);
      RaiseBadCode(bad, stop, kNotInAlphabet);
      return nullptr;
    }
    return list;
  });
}

// ---- the type

PyMethodDef codec_methods[] = {
    {"encode", CodecEncode, METH_O,
     "encode($self, symbols, /)\n--\n\n"
     "The codes of symbols: a str or a buffer of one-byte items read as\n"
     "Latin-1 text, cut into symbols (one per character for alphabets of\n"
     "one-character symbols, else the longest symbol that matches at each\n"
     "position), or an iterable of str.  bytes for up to 256 symbols, else an\n"
     "array.array of the narrowest unsigned type ('H' or 'I').  AlphabetError\n"
     "names the first unknown symbol and its position in the text."},
    {"encode_one", CodecEncodeOne, METH_O,
     "encode_one($self, symbol, /)\n--\n\nThe code of one symbol."},
    {"decode_str", CodecDecodeStr, METH_O,
     "decode_str($self, codes, /)\n--\n\n"
     "The text spelt by codes (a buffer of integers or an iterable of ints):\n"
     "their symbols joined."},
    {"decode_list", CodecDecodeList, METH_O,
     "decode_list($self, codes, /)\n--\n\nThe symbols of codes, as a list."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef codec_members[] = {
    {"size", Py_T_PYSSIZET, offsetof(CodecObject, size), Py_READONLY,
     "The number of symbols (codes are 0 to size - 1)."},
    {"one_char", Py_T_BOOL, offsetof(CodecObject, one_char), Py_READONLY,
     "Every symbol is one character, so that a text codes one code per character."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot codec_slots[] = {
    {Py_tp_new, AsSlot(&CodecNew)},
    {Py_tp_dealloc, AsSlot(&CodecDealloc)},
    {Py_tp_methods, codec_methods},
    {Py_tp_members, codec_members},
    {Py_tp_doc,
     const_cast<char*>("Codec(symbols, *, spellings=None, unknown=None, ignore_case=False)\n--\n\n"
                       "The encoding and decoding tables of one alphabet: built once, immutable,\n"
                       "thread-safe.  A symbol's code is its last position in symbols.\n"
                       "spellings maps further texts to codes (a symbol wins over a spelling);\n"
                       "unknown, when not None, is the code of every symbol otherwise unknown;\n"
                       "ignore_case lets a symbol match the one code whose symbols or spellings\n"
                       "have its lowercase form (none when two codes share that form).")},
    {0, nullptr},
};

PyTypeObject* codec_type = nullptr;

}  // namespace

const CodecTables* TablesOfCodec(PyObject* codec) {
  if (PyObject_TypeCheck(codec, codec_type)) return &TablesOf(codec);
  PyErr_Format(PyExc_TypeError, "expected a Codec, not %.200s", Py_TYPE(codec)->tp_name);
  return nullptr;
}

PyObject* EncodeText(const CodecTables& tables, PyObject* text) {
  return Guarded([&] { return EncodeStr(tables, text); });
}

PyObject* EncodeLatin1(const CodecTables& tables, const uint8_t* text, size_t n) {
  return Guarded([&] { return EncodeLatin1Text(tables, text, n); });
}

PyObject* DecodeText(PyObject* codec, const CodeSpan& codes) {
  return Guarded([&] { return DecodeSpan(codec, codes); });
}

bool DecodeUtf8(const CodecTables& tables, PyObject* codes, std::string& out, size_t& chars) {
  return Guarded([&]() -> bool {
    CodeSource source;
    if (!OpenCodes(codes, tables, source)) return false;
    const size_t n = source.size();
    chars = n;
    if (tables.decode_bytes && tables.max_code_point < 0x80) {
      // ASCII symbols: one byte per code, through the kernel.
      out.resize(n);
      auto* text = reinterpret_cast<uint8_t*>(out.data());
      const CodeSpan span = source.span();
      const size_t refused = Unlocked(n, [&] { return TranslateCodes(tables, span, text); });
      if (refused == n) return true;
      RaiseBadCode(span, refused, kNotInAlphabet);
      return false;
    }
    out.clear();
    CodeValue bad{};
    const size_t stop = VisitCodes(source, [&](const auto* in) {
      for (size_t i = 0; i < n; ++i) {
        const auto code = ReadOnce(in + i);
        if (!CodeBelow(code, tables.size, bad)) return i;
        char utf8[5];
        out.append(utf8, static_cast<size_t>(
                             EncodeUtf8(tables.code_points[static_cast<size_t>(code)], utf8)));
      }
      return n;
    });
    if (stop == n) return true;
    RaiseBadCode(bad, stop, kNotInAlphabet);
    return false;
  });
}

bool AddCodec(PyObject* module) {
  return LoadStrMethods() && AddType(module, "Codec",
                                     {.name = "alphabet._native.Codec",
                                      .basicsize = sizeof(CodecObject),
                                      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                      .slots = codec_slots},
                                     codec_type);
}

}  // namespace native
