#include "native/codec/bulk.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "kernels/isa.h"
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

// ---- reverse_case

// Soft-masked text keeps its case through a reverse complement: each letter
// of `result` takes the case of the letter of `source` that it mirrors.
PyObject* ReverseCase(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!CheckArgCount("reverse_case", nargs, 2)) return nullptr;
  PyObject* result = args[0];
  PyObject* source = args[1];
  if (!PyUnicode_Check(result) || !PyUnicode_Check(source) || !PyUnicode_IS_ASCII(result) ||
      !PyUnicode_IS_ASCII(source) || PyUnicode_GET_LENGTH(result) != PyUnicode_GET_LENGTH(source)) {
    PyErr_SetString(PyExc_TypeError, "reverse_case takes two ASCII str of one length");
    return nullptr;
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(result);
  PyObject* cased = PyUnicode_New(n, 127);
  if (cased == nullptr) return nullptr;
  const auto* letters = static_cast<const uint8_t*>(PyUnicode_DATA(result));
  const auto* mirrored = static_cast<const uint8_t*>(PyUnicode_DATA(source));
  auto* out = static_cast<uint8_t*>(PyUnicode_DATA(cased));
  auto lower = [](uint8_t c) { return c >= 'a' && c <= 'z'; };
  auto upper = [](uint8_t c) { return c >= 'A' && c <= 'Z'; };
  for (Py_ssize_t i = 0; i < n; ++i) {
    const uint8_t c = letters[i], case_of = mirrored[n - 1 - i];
    out[i] = lower(case_of) && upper(c)   ? static_cast<uint8_t>(c + 32)
             : upper(case_of) && lower(c) ? static_cast<uint8_t>(c - 32)
                                          : c;
  }
  return cased;
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
    {"reverse_case", AsMethod(&ReverseCase), METH_FASTCALL,
     "reverse_case(result, source, /)\n--\n\n"
     "result (ASCII text) with each letter in the case of the letter of source\n"
     "(ASCII text as long) it mirrors: result[i] takes the case of\n"
     "source[n - 1 - i].  Other characters stay as they are."},
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
