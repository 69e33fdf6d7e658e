#include "native/code_buffers.h"

#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "native/alphabets.h"
#include "native/bulk_call.h"
#include "native/interpreter.h"
#include "native/items.h"

namespace native {
namespace {

PyObject* array_type = nullptr;
// Typecodes of unsigned items of 1, 2, 4 and 8 bytes (index: log2 of the width).
char unsigned_typecodes[4] = {'B', 0, 0, 0};
// One-item arrays per width, the seeds of NewArray; never given out.
PyObject* array_seeds[4] = {};

int WidthIndex(size_t width) { return std::countr_zero(width); }

// The int formats of the struct module, with their signedness.
bool IntegerFormat(char code, bool& is_signed) {
  switch (code) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n': is_signed = true; return true;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N': is_signed = false; return true;
    default: return false;
  }
}

// Splits a one-item struct format into its byte order and type code; false
// for a format of several items, counts or padding.
bool SplitFormat(const char* format, char& order, char& code) {
  order = '@';
  if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) order = *format++;
  if (format[0] == '\0' || format[1] != '\0') return false;
  code = format[0];
  return true;
}

bool ForeignOrder(char order) {
  if constexpr (std::endian::native == std::endian::little) return order == '>' || order == '!';
  return order == '<';
}

template <class T>
size_t FirstOutsideOf(const T* codes, size_t n, std::optional<uint64_t> limit) {
  const uint64_t bound = limit.value_or(UINT64_MAX);
  for (size_t i = 0; i < n; ++i) {
    if constexpr (T(-1) < T(0)) {
      if (codes[i] < 0) return i;
    }
    if (limit && static_cast<uint64_t>(codes[i]) >= bound) return i;
  }
  return n;
}

// `value` (>= 0) in decimal, `level` the largest power in `powers` below
// which it lies; zero-padded to the full width of its level when `pad`.
PyObject* DecimalDigits(PyObject* value, const std::vector<PyObject*>& powers, int level, bool pad,
                        Py_ssize_t chunk) {
  if (level < 0) {
    PyObject* text = PyObject_Str(value);
    if (text == nullptr || !pad) return text;
    PyObject* padded = PyObject_CallMethod(text, "zfill", "n", chunk);
    Py_DECREF(text);
    return padded;
  }
  PyObject* parts = PyNumber_Divmod(value, powers[level]);
  if (parts == nullptr) return nullptr;
  PyObject* high = PyTuple_GET_ITEM(parts, 0);
  PyObject* low = PyTuple_GET_ITEM(parts, 1);
  const int high_zero = PyObject_Not(high);
  PyObject* result = nullptr;
  if (high_zero == 1 && !pad) {
    result = DecimalDigits(low, powers, level - 1, false, chunk);
  } else if (high_zero >= 0) {
    PyObject* left = DecimalDigits(high, powers, level - 1, pad, chunk);
    PyObject* right = left ? DecimalDigits(low, powers, level - 1, true, chunk) : nullptr;
    if (right != nullptr) result = PyUnicode_Concat(left, right);
    Py_XDECREF(left);
    Py_XDECREF(right);
  }
  Py_DECREF(parts);
  return result;
}

}  // namespace

CodeValue ReadCode(CodeType type, const void* data, size_t index) {
  const auto* bytes = static_cast<const unsigned char*>(data) + index * CodeWidth(type);
  auto read = [bytes]<class T>(T) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (T(-1) < T(0)) {
      if (value < 0) return CodeValue{true, 0 - static_cast<uint64_t>(value)};
    }
    return CodeValue{false, static_cast<uint64_t>(value)};
  };
  switch (type) {
    case CodeType::kU8: return read(uint8_t{});
    case CodeType::kI8: return read(int8_t{});
    case CodeType::kU16: return read(uint16_t{});
    case CodeType::kI16: return read(int16_t{});
    case CodeType::kU32: return read(uint32_t{});
    case CodeType::kI32: return read(int32_t{});
    case CodeType::kU64: return read(uint64_t{});
    case CodeType::kI64: return read(int64_t{});
  }
  return {false, 0};
}

bool PinnedBuffer::Pin(PyObject* object, int flags) {
  Release();
  if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
  pinned_ = true;
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    Release();
    PyErr_Format(PyExc_TypeError, "a buffer of codes or text must be C-contiguous; %.200s is not",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  return true;
}

void PinnedBuffer::Release() {
  if (pinned_ && HoldsInterpreter()) PyBuffer_Release(&view_);
  pinned_ = false;
}

bool PinTextBytes(PyObject* object, PinnedBuffer& pinned) {
  if (!pinned.Pin(object, PyBUF_FULL_RO)) return false;
  char order, code;
  if (pinned.view().itemsize == 1 && SplitFormat(pinned.format(), order, code) &&
      (code == 'B' || code == 'b' || code == 'c')) {
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "a buffer of text must have one-byte items (format B, b or c), not format '%s'",
               pinned.format());
  pinned.Release();
  return false;
}

bool CodeSource::OpenBuffer(PyObject* object) {
  if (!pinned_.Pin(object, PyBUF_FULL_RO)) return false;
  char order, code;
  bool is_signed = false;
  const Py_ssize_t width = pinned_.view().itemsize;
  if (!SplitFormat(pinned_.format(), order, code) || !IntegerFormat(code, is_signed) ||
      (width != 1 && width != 2 && width != 4 && width != 8)) {
    PyErr_Format(PyExc_TypeError, "codes must be integers, not items of format '%s'",
                 pinned_.format());
    pinned_.Release();
    return false;
  }
  type_ = static_cast<CodeType>(2 * WidthIndex(static_cast<size_t>(width)) + (is_signed ? 1 : 0));
  data_ = pinned_.data();
  size_ = pinned_.items();
  if (ForeignOrder(order) && width > 1 && size_ > 0) {
    const auto* in = static_cast<const unsigned char*>(data_);
    swapped_.assign(in, in + size_ * static_cast<size_t>(width));
    SwapItems(swapped_.data(), size_, static_cast<size_t>(width));
    data_ = swapped_.data();
  }
  return true;
}

bool CodeSource::Gather(PyObject* iterable, std::optional<uint64_t> limit, const char* phrase) {
  type_ = CodeType::kU64;
  gathered_ = true;
  owned_.clear();
  auto add = [&](PyObject* item, Py_ssize_t position) -> bool {
    if (!PyIndex_Check(item)) {
      PyErr_Format(PyExc_TypeError, "codes are int, not %.200s (position %zd)",
                   Py_TYPE(item)->tp_name, position);
      return false;
    }
    PyObject* integer = PyNumber_Index(item);
    if (integer == nullptr) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    uint64_t code = static_cast<uint64_t>(value);
    bool valid = overflow == 0 && value >= 0;
    if (overflow > 0) {
      code = PyLong_AsUnsignedLongLong(integer);
      valid = !PyErr_Occurred();
      PyErr_Clear();  // only OverflowError can come: the value is an int
    }
    valid = valid && (!limit || code < *limit);
    if (!valid) {
      PyObject* text = DecimalText(integer);
      PyObject* message =
          text ? PyUnicode_FromFormat("Code %U %s at position %zd", text, phrase, position)
               : nullptr;
      if (message != nullptr) RaiseAlphabetError(message, position);
      Py_XDECREF(text);
      Py_XDECREF(message);
    }
    Py_DECREF(integer);
    return valid && PushBack(owned_, code);
  };
  // __index__ may run Python code that changes a list: each item is held
  // while it is read.
  if (PyList_Check(iterable) || PyTuple_Check(iterable)) {
    owned_.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(iterable)));
  }
  const bool ok = ForEachItem(iterable, [&](PyObject* item, Py_ssize_t position) {
    Py_INCREF(item);
    const bool added = add(item, position);
    Py_DECREF(item);
    return added;
  });
  if (!ok) return false;
  data_ = owned_.data();
  size_ = owned_.size();
  return true;
}

size_t CodeSource::FirstOutside(std::optional<uint64_t> limit) const {
  switch (type_) {
    case CodeType::kU8: return FirstOutsideOf(static_cast<const uint8_t*>(data_), size_, limit);
    case CodeType::kI8: return FirstOutsideOf(static_cast<const int8_t*>(data_), size_, limit);
    case CodeType::kU16: return FirstOutsideOf(static_cast<const uint16_t*>(data_), size_, limit);
    case CodeType::kI16: return FirstOutsideOf(static_cast<const int16_t*>(data_), size_, limit);
    case CodeType::kU32: return FirstOutsideOf(static_cast<const uint32_t*>(data_), size_, limit);
    case CodeType::kI32: return FirstOutsideOf(static_cast<const int32_t*>(data_), size_, limit);
    case CodeType::kU64: return FirstOutsideOf(static_cast<const uint64_t*>(data_), size_, limit);
    case CodeType::kI64: return FirstOutsideOf(static_cast<const int64_t*>(data_), size_, limit);
  }
  return size_;
}

bool CodeSource::Overlaps(const void* data, size_t bytes) const {
  if (gathered_ || bytes == 0 || pinned_.view().len == 0) return false;
  const auto begin = reinterpret_cast<uintptr_t>(pinned_.data());
  const auto end = begin + static_cast<uintptr_t>(pinned_.view().len);
  const auto other = reinterpret_cast<uintptr_t>(data);
  return other < end && begin < other + bytes;
}

void CodeSource::Snapshot() {
  PyObject* exporter = pinned_.view().obj;
  if (gathered_ || swapped() || size_ == 0 ||
      (exporter != nullptr && PyBytes_CheckExact(exporter))) {
    return;
  }
  const auto* in = static_cast<const unsigned char*>(data_);
  snapshot_.assign(in, in + size_ * CodeWidth(type_));
  data_ = snapshot_.data();
}

void RaiseBadCode(const CodeSource& source, size_t index, const char* phrase) {
  RaiseBadCode(ReadCode(source.type(), source.data(), index), index, phrase);
}

void RaiseBadCode(CodeValue code, size_t index, const char* phrase) {
  const std::string decimal = (code.negative ? "-" : "") + std::to_string(code.magnitude);
  PyObject* message =
      PyUnicode_FromFormat("Code %s %s at position %zu", decimal.c_str(), phrase, index);
  if (message == nullptr) return;
  RaiseAlphabetError(message, static_cast<Py_ssize_t>(index));
  Py_DECREF(message);
}

PyObject* DecimalText(PyObject* integer) {
  PyObject* text = PyObject_Str(integer);
  if (text != nullptr || !PyErr_ExceptionMatches(PyExc_ValueError)) return text;
  // Past the interpreter's digit limit: cut the value by powers of
  // 10**(chunk * 2**k) into pieces of fewer digits than any limit allows
  // (at least 640), convert each and join them.
  PyErr_Clear();
  constexpr Py_ssize_t kChunk = 500;
  PyObject* zero = PyLong_FromLong(0);
  const int negative = zero ? PyObject_RichCompareBool(integer, zero, Py_LT) : -1;
  Py_XDECREF(zero);
  if (negative < 0) return nullptr;
  PyObject* magnitude = negative ? PyNumber_Negative(integer) : Py_NewRef(integer);
  if (magnitude == nullptr) return nullptr;
  std::vector<PyObject*> powers;
  PyObject* ten = PyLong_FromLong(10);
  PyObject* exponent = PyLong_FromSsize_t(kChunk);
  PyObject* power = ten && exponent ? PyNumber_Power(ten, exponent, Py_None) : nullptr;
  Py_XDECREF(ten);
  Py_XDECREF(exponent);
  while (power != nullptr) {
    const int above = PyObject_RichCompareBool(power, magnitude, Py_GT);
    if (above != 0) {
      Py_DECREF(power);
      if (above < 0) power = nullptr;
      break;
    }
    if (!PushBack(powers, power)) {
      Py_DECREF(power);
      power = nullptr;
      break;
    }
    power = PyNumber_Multiply(power, power);
  }
  PyObject* digits = nullptr;
  if (!PyErr_Occurred()) {
    // magnitude < powers.back()**2: its top piece lies below powers.back().
    digits = DecimalDigits(magnitude, powers, static_cast<int>(powers.size()) - 1, false, kChunk);
  }
  for (PyObject* p : powers) Py_DECREF(p);
  Py_DECREF(magnitude);
  if (digits == nullptr || !negative) return digits;
  PyObject* sign = PyUnicode_FromString("-");
  PyObject* signed_digits = sign ? PyUnicode_Concat(sign, digits) : nullptr;
  Py_XDECREF(sign);
  Py_DECREF(digits);
  return signed_digits;
}

void SwapItems(void* data, size_t items, size_t width) {
  auto* bytes = static_cast<unsigned char*>(data);
  for (size_t i = 0; i < items; ++i) {
    unsigned char* item = bytes + i * width;
    for (size_t b = 0; b < width / 2; ++b) std::swap(item[b], item[width - 1 - b]);
  }
}

CodeOutput::~CodeOutput() {
  pinned_.Release();
  if (HoldsInterpreter()) Py_XDECREF(object_);
}

bool CodeOutput::Make(size_t width, size_t items) {
  if (items > static_cast<size_t>(PY_SSIZE_T_MAX) / width) {
    PyErr_NoMemory();
    return false;
  }
  if (width == 1) {
    object_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(items));
    if (object_ == nullptr) return false;
    data_ = PyBytes_AS_STRING(object_);
    HintHugePages(data_, items);
    return true;
  }
  object_ = NewArray(unsigned_typecodes[WidthIndex(width)], items);
  if (object_ == nullptr || !pinned_.Pin(object_, PyBUF_FULL)) return false;
  data_ = pinned_.data();
  return true;
}

PyObject* CodeOutput::Take() {
  pinned_.Release();
  PyObject* object = object_;
  object_ = nullptr;
  return object;
}

PyObject* NewByteArray(Py_ssize_t size) {
  PyObject* bytes = PyByteArray_FromStringAndSize(nullptr, 0);
  if (bytes == nullptr || PyByteArray_Resize(bytes, size) == 0) return bytes;
  Py_DECREF(bytes);
  return nullptr;
}

PyObject* NewArray(char typecode, size_t items) {
  if (items > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  for (int i = 0; i < 4; ++i) {
    if (unsigned_typecodes[i] == typecode && array_seeds[i] != nullptr) {
      return PySequence_Repeat(array_seeds[i], static_cast<Py_ssize_t>(items));
    }
  }
  PyErr_Format(PyExc_SystemError, "no unsigned array typecode '%c'", typecode);
  return nullptr;
}

bool AddCodeBuffers(PyObject*) {
  if (array_type != nullptr) return true;
  PyObject* array_module = PyImport_ImportModule("array");
  if (array_module == nullptr) return false;
  PyObject* type = PyObject_GetAttrString(array_module, "array");
  Py_DECREF(array_module);
  if (type == nullptr) return false;
  // The unsigned typecode of each width, as this platform sizes them.
  for (const char typecode : {'B', 'H', 'I', 'Q', 'L'}) {
    PyObject* seed = PyObject_CallFunction(type, "C[i]", typecode, 0);
    PyObject* itemsize = seed ? PyObject_GetAttrString(seed, "itemsize") : nullptr;
    const long width = itemsize ? PyLong_AsLong(itemsize) : -1;
    Py_XDECREF(itemsize);
    if (width < 0) {
      Py_XDECREF(seed);
      Py_DECREF(type);
      return false;
    }
    const int slot = WidthIndex(static_cast<size_t>(width));
    if (width <= 8 && array_seeds[slot] == nullptr) {
      unsigned_typecodes[slot] = typecode;
      array_seeds[slot] = seed;
    } else {
      Py_DECREF(seed);
    }
  }
  array_type = type;
  for (PyObject* seed : array_seeds) {
    if (seed == nullptr) {
      PyErr_SetString(PyExc_ImportError, "array.array lacks unsigned items of 1, 2, 4 or 8 bytes");
      return false;
    }
  }
  return true;
}

}  // namespace native
