#include "native/codec/bulk.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kernels/isa.h"
#include "kernels/kmers.h"
#include "kernels/text.h"
#include "kernels/translate.h"
#include "native/codec/code_buffers.h"
#include "native/common/buffers.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/item_format.h"
#include "native/common/methods.h"
#include "native/common/ref.h"

namespace native {
namespace {

// A code outside a table or a base is named as one the alphabet does not
// hold: the package passes an alphabet's complement table and its size.
constexpr char kNotInAlphabet[] = "not in alphabet";

// ---- reverse_translate

// out[n - 1 - i] = table[in[i]] for codes of any integer type; the first
// code outside the table refuses.
template <class T>
size_t ReverseThroughTable(const T* in, T* out, size_t n, const std::vector<uint8_t>& table) {
  for (size_t i = 0; i < n; ++i) {
    // Another thread may write to the input meanwhile: the code checked is
    // the code used.
    const T code = ReadOnce(in + i);
    if constexpr (std::is_signed_v<T>) {
      if (code < 0) return i;
    }
    if (static_cast<uint64_t>(code) >= table.size()) return i;
    out[n - 1 - i] = static_cast<T>(table[static_cast<size_t>(code)]);
  }
  return n;
}

size_t ReverseCodes(const CodeSource& source, void* out, const std::vector<uint8_t>& table,
                    const kernels::ByteMap& map) {
  return VisitCodes(source, [&](const auto* in) {
    using T = std::remove_cv_t<std::remove_pointer_t<decltype(in)>>;
    if constexpr (std::is_same_v<T, uint8_t>) {
      return kernels::ReverseTranslateChecked(in, static_cast<uint8_t*>(out), source.size(), map);
    } else {
      return ReverseThroughTable(in, static_cast<T*>(out), source.size(), table);
    }
  });
}

// A struct format without its byte order: what memoryview.cast takes, and
// the format of a memoryview of codes made here (in this machine's order).
const char* BareFormat(const char* format) {
  ItemFormat item{};
  return ParseItemFormat(format, item) ? item.bare : format;
}

// An object of the input's own type and item format with room for its
// codes: bytes and bytearray anew, a memoryview over a new bytearray (in
// this machine's byte order, whatever the input's), and anything else
// (array.array, numpy arrays) through its own copy.
PyObject* SameKindOfBuffer(PyObject* codes, const CodeSource& source) {
  const size_t bytes = source.size() * CodeWidth(source.type());
  if (PyBytes_Check(codes)) {
    return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes));
  }
  if (PyByteArray_Check(codes)) {
    return NewByteArray(static_cast<Py_ssize_t>(bytes));
  }
  if (PyMemoryView_Check(codes)) {
    const Ref storage(NewByteArray(static_cast<Py_ssize_t>(bytes)));
    Ref view(storage ? PyMemoryView_FromObject(storage.get()) : nullptr);
    const char* format = BareFormat(source.format());
    if (!view || std::strcmp(format, "B") == 0) return view.Take();
    return PyObject_CallMethod(view.get(), "cast", "s", format);
  }
  const char* method = PyObject_HasAttrString(codes, "copy") ? "copy" : "__copy__";
  if (!PyObject_HasAttrString(codes, method)) {
    PyErr_Format(PyExc_TypeError,
                 "reverse_translate needs codes it can make again: bytes, bytearray, memoryview, "
                 "array.array, an array with copy(), list or tuple; not %.200s",
                 Py_TYPE(codes)->tp_name);
    return nullptr;
  }
  return PyObject_CallMethod(codes, method, nullptr);
}

PyObject* ReverseBuffer(PyObject* codes, const std::vector<uint8_t>& table) {
  CodeSource source;
  if (!source.OpenBuffer(codes)) return nullptr;
  if (source.ndim() > 1) {
    PyErr_SetString(PyExc_TypeError, "reverse_translate needs a one-dimensional buffer of codes");
    return nullptr;
  }
  if (source.type() == CodeType::kI8) {
    for (size_t i = 0; i < table.size(); ++i) {
      if (table[i] > 127) {
        PyErr_Format(PyExc_OverflowError,
                     "table entry %d (at %zu) does not fit signed one-byte codes", table[i], i);
        return nullptr;
      }
    }
  }
  PyObject* result = SameKindOfBuffer(codes, source);
  if (result == nullptr) return nullptr;
  // The bytes object made for bytes codes is written in place before anyone
  // sees it; every other result through its buffer, which must be a
  // writable one like the input's of memory of its own (copy() is the
  // input's own code, and may give anything: a shared bytes object, the
  // input itself).
  PinnedBuffer pinned;
  void* out = nullptr;
  const size_t bytes = source.size() * CodeWidth(source.type());
  const bool native_order = PyMemoryView_Check(codes);
  if (PyBytes_Check(codes)) {
    out = PyBytes_AS_STRING(result);
  } else if (PinContiguous(result, PyBUF_FULL, pinned)) {
    out = pinned.data();
    if (pinned.items() != source.size() ||
        pinned.view().itemsize != static_cast<Py_ssize_t>(CodeWidth(source.type())) ||
        std::strcmp(pinned.format(),
                    native_order ? BareFormat(source.format()) : source.format()) != 0 ||
        source.Overlaps(out, bytes)) {
      PyErr_Format(PyExc_TypeError, "the copy of a %.200s is not a buffer like it of its own",
                   Py_TYPE(codes)->tp_name);
      out = nullptr;
    }
  } else if (PyErr_ExceptionMatches(PyExc_BufferError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "the copy of a %.200s is not a writable buffer",
                 Py_TYPE(codes)->tp_name);
  }
  if (out == nullptr) {
    pinned.Release();
    Py_DECREF(result);
    return nullptr;
  }
  HintHugePages(out, bytes);
  int32_t images[256];
  for (size_t b = 0; b < 256; ++b) images[b] = b < table.size() ? table[b] : -1;
  const kernels::ByteMap map(images);
  const size_t n = source.size();
  const size_t refused = Unlocked(n, [&] { return ReverseCodes(source, out, table, map); });
  if (refused < n) {
    pinned.Release();
    Py_DECREF(result);
    RaiseBadCode(source, refused, kNotInAlphabet);
    return nullptr;
  }
  // The codes went in native order; the result keeps the input's byte order
  // unless it is a memoryview made here, which reads in native order.
  if (source.swapped() && !native_order) SwapItems(out, n, CodeWidth(source.type()));
  pinned.Release();
  return result;
}

PyObject* ReverseItems(PyObject* codes, const std::vector<uint8_t>& table) {
  CodeSource source;
  if (!source.Gather(codes, uint64_t{table.size()}, kNotInAlphabet)) return nullptr;
  const auto n = static_cast<Py_ssize_t>(source.size());
  const bool tuple = PyTuple_Check(codes);
  PyObject* result = tuple ? PyTuple_New(n) : PyList_New(n);
  if (result == nullptr) return nullptr;
  const auto* in = static_cast<const uint64_t*>(source.data());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* value = PyLong_FromLong(table[static_cast<size_t>(in[i])]);
    if (value == nullptr) {
      Py_DECREF(result);
      return nullptr;
    }
    if (tuple) {
      PyTuple_SET_ITEM(result, n - 1 - i, value);
    } else {
      PyList_SET_ITEM(result, n - 1 - i, value);
    }
  }
  return result;
}

PyObject* ReverseTranslate(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codes", "table", nullptr};
  PyObject* codes;
  PyObject* table_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:reverse_translate",
                                   const_cast<char**>(keywords), &codes, &table_object)) {
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    PinnedBuffer pinned;
    if (!PinContiguous(table_object, PyBUF_FULL_RO, pinned)) return nullptr;
    if (pinned.view().itemsize != 1) {
      PyErr_SetString(PyExc_TypeError, "the table must be bytes-like, with one-byte items");
      return nullptr;
    }
    const auto* bytes = static_cast<const uint8_t*>(pinned.data());
    const std::vector<uint8_t> table(bytes, bytes + pinned.items());
    pinned.Release();
    if (PyList_Check(codes) || PyTuple_Check(codes)) return ReverseItems(codes, table);
    if (CodeSource::IsBuffer(codes)) return ReverseBuffer(codes, table);
    PyErr_Format(PyExc_TypeError,
                 "reverse_translate takes bytes, bytearray, memoryview, array.array, an array "
                 "with copy(), list or tuple; not %.200s",
                 Py_TYPE(codes)->tp_name);
    return nullptr;
  });
}

// ---- kmers

// base**k <= 2**64, for base >= 2.
bool PowerFits(uint64_t base, size_t k) {
  unsigned __int128 power = 1;
  const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 64;
  for (size_t i = 0; i < k; ++i) {
    power *= base;
    if (power > limit) return false;
  }
  return true;
}

// The codes as 64-bit values (negative ones refused beforehand).
void CopyCodes(const CodeSource& source, uint64_t* out) {
  VisitCodes(source, [&](const auto* in) {
    std::transform(in, in + source.size(), out,
                   [](auto code) { return static_cast<uint64_t>(code); });
    return 0;
  });
}

// The kernel takes one-byte codes only; wider ones roll here, one k-mer
// from the one before it.  Every code is checked first, also when n < k.
template <class T>
size_t WideKmers(const T* codes, size_t n, size_t k, uint64_t base, uint64_t* out) {
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<uint64_t>(codes[i]) >= base) return i;
  }
  if (n < k) return n;
  // Wrapping arithmetic is exact: every true intermediate is below base**k.
  uint64_t lead = 1;  // base**(k-1)
  for (size_t i = 0; i + 1 < k; ++i) lead *= base;
  uint64_t index = 0;
  for (size_t i = 0; i + 1 < k; ++i) index = index * base + static_cast<uint64_t>(codes[i]);
  for (size_t i = k - 1; i < n; ++i) {
    index = index * base + static_cast<uint64_t>(codes[i]);
    out[i + 1 - k] = index;
    index -= static_cast<uint64_t>(codes[i + 1 - k]) * lead;
  }
  return n;
}

// Signed codes come here checked to be non-negative: one-byte ones go to
// the kernel as unsigned ones.
size_t RunKmers(const CodeSource& source, size_t k, uint64_t base, uint64_t* out) {
  return VisitCodes(source, [&](const auto* in) {
    using T = std::remove_cv_t<std::remove_pointer_t<decltype(in)>>;
    if constexpr (sizeof(T) == 1) {
      return kernels::Kmers(reinterpret_cast<const uint8_t*>(in), source.size(), k, base, out);
    } else {
      return WideKmers(in, source.size(), k, base, out);
    }
  });
}

// A base: 0 .. 2**64 - 1 in `base`, or 2**64 itself (`two_64`); false with
// ValueError for a negative base or one above 2**64 (no k-mer fits then).
bool ParseBase(PyObject* object, uint64_t& base, bool& two_64) {
  PyObject* integer = PyNumber_Index(object);
  if (integer == nullptr) return false;
  two_64 = false;
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(integer, &overflow);
  bool ok = !(small == -1 && PyErr_Occurred());
  if (ok && overflow == 0 && small >= 0) {
    base = static_cast<uint64_t>(small);
  } else if (ok && overflow > 0) {
    base = PyLong_AsUnsignedLongLong(integer);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      PyObject* below = PyLong_FromUnsignedLongLong(UINT64_MAX);
      PyObject* one = PyLong_FromLong(1);
      PyObject* limit = below && one ? PyNumber_Add(below, one) : nullptr;
      const int equal = limit ? PyObject_RichCompareBool(integer, limit, Py_EQ) : -1;
      Py_XDECREF(below);
      Py_XDECREF(one);
      Py_XDECREF(limit);
      ok = two_64 = equal == 1;
      if (equal == 0) {
        PyErr_Format(PyExc_ValueError, "base**k must be at most 2**64; base %S is larger", integer);
      }
    }
  } else if (ok) {
    PyErr_Format(PyExc_ValueError, "base must not be negative, not %S", integer);
    ok = false;
  }
  Py_DECREF(integer);
  return ok;
}

// k as a count; false with ValueError below 1.  A k too large for a count
// gives no k-mer at all, which SIZE_MAX stands for.
bool ParseK(PyObject* object, size_t& k) {
  PyObject* integer = PyNumber_Index(object);
  if (integer == nullptr) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  Py_DECREF(integer);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    PyErr_SetString(PyExc_ValueError, "k must be at least 1");
    return false;
  }
  k = overflow > 0 ? SIZE_MAX : static_cast<size_t>(value);
  return true;
}

PyObject* Kmers(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codes", "k", "base", nullptr};
  PyObject* codes;
  PyObject* k_object;
  PyObject* base_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:kmers", const_cast<char**>(keywords), &codes,
                                   &k_object, &base_object)) {
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    size_t k;
    uint64_t base;
    bool two_64;
    if (!ParseK(k_object, k) || !ParseBase(base_object, base, two_64)) return nullptr;
    if ((two_64 && k != 1) || (base >= 2 && !PowerFits(base, k))) {
      PyErr_Format(PyExc_ValueError, "base**k must be at most 2**64 (base %S, k %S)", base_object,
                   k_object);
      return nullptr;
    }
    // Base 2**64 bounds no 64-bit code; with k == 1 each code is its k-mer.
    const std::optional<uint64_t> limit = two_64 ? std::nullopt : std::optional(base);
    CodeSource source;
    if (PyUnicode_Check(codes)) {
      PyErr_SetString(PyExc_TypeError, "codes are ints, not a str");
      return nullptr;
    }
    if (CodeSource::IsBuffer(codes)) {
      if (!source.OpenBuffer(codes)) return nullptr;
      // The k-mers read each code when it enters and again when it leaves:
      // both reads must see the same code.
      source.Snapshot();
      // Signed codes go to the kernel as unsigned ones: a negative one must
      // be caught first, as it could pass for a digit of a huge base.
      const size_t negative =
          CodeSigned(source.type()) ? source.FirstOutside(limit) : source.size();
      if (negative < source.size()) {
        RaiseBadCode(source, negative, kNotInAlphabet);
        return nullptr;
      }
    } else if (!source.Gather(codes, limit, kNotInAlphabet)) {
      return nullptr;
    }
    const size_t n = source.size();
    CodeOutput result;
    if (!result.Make(8, n >= k ? n - k + 1 : 0)) return nullptr;
    auto* out = static_cast<uint64_t*>(result.data());
    const size_t refused = Unlocked(n, [&] {
      if (!two_64) return RunKmers(source, k, base, out);
      CopyCodes(source, out);
      return n;
    });
    if (refused < n) {
      RaiseBadCode(source, refused, kNotInAlphabet);
      return nullptr;
    }
    return result.Take();
  });
}

// ---- format_codes

PyObject* FormatCodes(PyObject*, PyObject* codes) {
  return Guarded([&]() -> PyObject* {
    if (!CodeSource::IsBuffer(codes)) {
      PyErr_Format(PyExc_TypeError, "format_codes takes a buffer of codes, not %.200s",
                   Py_TYPE(codes)->tp_name);
      return nullptr;
    }
    CodeSource source;
    if (!source.OpenBuffer(codes)) return nullptr;
    if (source.type() != CodeType::kU8 && source.type() != CodeType::kU16) {
      PyErr_Format(PyExc_TypeError,
                   "format_codes takes unsigned codes of one or two bytes, not items of "
                   "format '%s'",
                   source.format());
      return nullptr;
    }
    const size_t n = source.size();
    const bool wide = source.type() == CodeType::kU16;
    if (n > PY_SSIZE_T_MAX / kernels::kDecimalBytesPerWideCode) return PyErr_NoMemory();
    const size_t room =
        n * (wide ? kernels::kDecimalBytesPerWideCode : kernels::kDecimalBytesPerByteCode);
    // Room for the longest numbers; the text itself is usually half of it.
    const auto text = std::make_unique_for_overwrite<char[]>(room);
    const size_t length = Unlocked(n, [&] {
      return wide ? kernels::FormatDecimal(static_cast<const uint16_t*>(source.data()), n,
                                           text.get())
                  : kernels::FormatDecimal(static_cast<const uint8_t*>(source.data()), n,
                                           text.get());
    });
    return PyBytes_FromStringAndSize(text.get(), static_cast<Py_ssize_t>(length));
  });
}

// ---- parse_codes

PyObject* ParseCodes(PyObject*, PyObject* text) {
  return Guarded([&]() -> PyObject* {
    PinnedBuffer pinned;
    if (!PinTextBytes(text, pinned)) return nullptr;
    const auto* data = static_cast<const char*>(pinned.data());
    const size_t n = pinned.items();
    const kernels::DecimalScan scan = Unlocked(n, [&] { return kernels::ScanDecimal(data, n); });
    if (scan.refused < n) {
      PyErr_Format(PyExc_ValueError, "not decimal codes: byte %zu", scan.refused);
      return nullptr;
    }
    const size_t width = scan.largest <= UINT8_MAX    ? 1
                         : scan.largest <= UINT16_MAX ? 2
                         : scan.largest <= UINT32_MAX ? 4
                                                      : 8;
    CodeOutput result;
    if (!result.Make(width, scan.count)) return nullptr;
    void* out = result.data();
    Unlocked(n, [&] {
      switch (width) {
        case 1: return kernels::ParseDecimal(data, n, static_cast<uint8_t*>(out));
        case 2: return kernels::ParseDecimal(data, n, static_cast<uint16_t*>(out));
        case 4: return kernels::ParseDecimal(data, n, static_cast<uint32_t*>(out));
        default: return kernels::ParseDecimal(data, n, static_cast<uint64_t*>(out));
      }
    });
    return result.Take();
  });
}

// ---- kernel paths

PyObject* KernelPaths(PyObject*, PyObject*) {
  const auto paths = kernels::Supported();
  PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(paths.size()));
  for (size_t i = 0; names != nullptr && i < paths.size(); ++i) {
    PyObject* name = PyUnicode_FromString(kernels::IsaName(paths[i]));
    if (name == nullptr) {
      Py_CLEAR(names);
    } else {
      PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(i), name);
    }
  }
  return names;
}

PyObject* UseKernelPath(PyObject*, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "a kernel path is named by a str, not %.200s",
                 Py_TYPE(name)->tp_name);
    return nullptr;
  }
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return nullptr;
  const kernels::Isa previous = kernels::Active();
  const std::optional<kernels::Isa> isa = kernels::IsaFromName({text, static_cast<size_t>(size)});
  if (!isa || !kernels::SetActive(*isa)) {
    PyObject* supported = KernelPaths(nullptr, nullptr);
    if (supported != nullptr) {
      PyErr_Format(PyExc_ValueError, "no kernel path %R on this machine; it has %R", name,
                   supported);
      Py_DECREF(supported);
    }
    return nullptr;
  }
  return PyUnicode_FromString(kernels::IsaName(previous));
}

PyMethodDef bulk_functions[] = {
    {"reverse_translate", AsMethod(&ReverseTranslate), METH_VARARGS | METH_KEYWORDS,
     "reverse_translate(codes, table)\n--\n\n"
     "The codes reversed and each mapped through table (out[n-1-i] =\n"
     "table[codes[i]]), as an object of the type of codes: bytes, bytearray,\n"
     "memoryview, array.array and numpy arrays (same item type), list, tuple.\n"
     "AlphabetError names the first code outside the table and its position."},
    {"kmers", AsMethod(&Kmers), METH_VARARGS | METH_KEYWORDS,
     "kmers(codes, k, base)\n--\n\n"
     "The rolling k-mer indices of codes read as digits in base, the first\n"
     "code most significant: an array('Q') of max(0, len(codes) - k + 1) items.\n"
     "Needs k >= 1 and base**k <= 2**64 (ValueError); a code >= base raises\n"
     "AlphabetError naming it and its position."},
    {"format_codes", FormatCodes, METH_O,
     "format_codes(codes, /)\n--\n\n"
     "The codes as decimal numbers separated by single spaces, as ASCII bytes\n"
     "(b'2 0 3 3'): a buffer of unsigned one- or two-byte codes (bytes,\n"
     "bytearray, array('B') or array('H'), numpy uint8 or uint16)."},
    {"parse_codes", ParseCodes, METH_O,
     "parse_codes(text, /)\n--\n\n"
     "The codes that text (ASCII bytes) writes as decimal numbers separated by\n"
     "whitespace or commas, as format_codes writes them: bytes when every code\n"
     "is below 256, else an array.array of the narrowest unsigned type that\n"
     "holds them ('H', 'I' or 'Q').  ValueError names the first byte that is\n"
     "neither (a sign, a letter) or starts a number beyond 2**64 - 1."},
    {"kernel_paths", KernelPaths, METH_NOARGS,
     "kernel_paths()\n--\n\n"
     "The kernel paths this machine supports, 'scalar' first."},
    {"use_kernel_path", UseKernelPath, METH_O,
     "use_kernel_path(name, /)\n--\n\n"
     "Makes name the kernel path of the whole process; returns the previous one.\n"
     "Every path gives the same results: this is for tests and benchmarks."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool AddBulkFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, bulk_functions) == 0;
}

}  // namespace native
