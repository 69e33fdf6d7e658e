#include "native/codec/code_buffers.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include "native/common/errors.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/item_format.h"
#include "native/common/items.h"
#include "native/common/ref.h"

namespace native {
namespace {

// The code at `index` of `source`.
CodeValue CodeAt(const CodeSpan& source, size_t index) {
  return VisitCodes(source, [index](const auto* codes) {
    const auto code = codes[index];
    if constexpr (std::is_signed_v<std::remove_cv_t<decltype(code)>>) {
      if (code < 0) return CodeValue{true, 0 - static_cast<uint64_t>(code)};
    }
    return CodeValue{false, static_cast<uint64_t>(code)};
  });
}

}  // namespace

bool PinContiguous(PyObject* object, int flags, PinnedBuffer& pinned) {
  if (!pinned.Pin(object, flags)) return false;
  if (pinned.c_contiguous()) return true;
  pinned.Release();
  PyErr_Format(PyExc_TypeError, "a buffer of codes or text must be C-contiguous; %.200s is not",
               Py_TYPE(object)->tp_name);
  return false;
}

bool CheckDimensions(const PinnedBuffer& pinned, int dimensions, const char* what) {
  const Py_buffer& view = pinned.view();
  if (view.ndim == dimensions || (dimensions == 1 && view.ndim == 0)) return true;
  Ref shape(PyTuple_New(view.ndim));
  for (int i = 0; shape && i < view.ndim; ++i) {
    PyObject* size = PyLong_FromSsize_t(view.shape[i]);
    if (size == nullptr) {
      shape.Reset();
    } else {
      PyTuple_SET_ITEM(shape.get(), i, size);
    }
  }
  if (shape) {
    PyErr_Format(PyExc_TypeError, "%s must have %s, not shape %R", what,
                 dimensions == 1 ? "one dimension" : "two dimensions", shape.get());
  }
  return false;
}

bool PinTextBytes(PyObject* object, PinnedBuffer& pinned) {
  if (!PinContiguous(object, PyBUF_FULL_RO, pinned)) return false;
  if (!CheckDimensions(pinned, 1, "a buffer of text")) {
    pinned.Release();
    return false;
  }
  ItemFormat item{};
  if (pinned.view().itemsize == 1 && ParseItemFormat(pinned.format(), item) && item.size == 1 &&
      item.item_class != ItemClass::kBool) {
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "a buffer of text must have one-byte items (format B, b or c), not format '%s'",
               pinned.format());
  pinned.Release();
  return false;
}

bool CodeSource::OpenBuffer(PyObject* object, int dimensions) {
  if (!PinContiguous(object, PyBUF_FULL_RO, pinned_)) return false;
  if (!CheckDimensions(pinned_, dimensions,
                       dimensions == 1 ? "a buffer of codes" : "a buffer of rows of codes")) {
    pinned_.Release();
    return false;
  }
  ItemFormat item{};
  const size_t width = static_cast<size_t>(pinned_.view().itemsize);
  if (!ParseItemFormat(pinned_.format(), item) ||
      (item.item_class != ItemClass::kSigned && item.item_class != ItemClass::kUnsigned) ||
      item.size != width) {
    PyErr_Format(PyExc_TypeError, "codes must be integers, not items of format '%s'",
                 pinned_.format());
    pinned_.Release();
    return false;
  }
  const bool is_signed = item.item_class == ItemClass::kSigned;
  type_ = static_cast<CodeType>(2 * std::countr_zero(width) + (is_signed ? 1 : 0));
  data_ = pinned_.data();
  size_ = pinned_.items();
  if (item.foreign_order && width > 1 && size_ > 0) {
    const auto* in = static_cast<const unsigned char*>(data_);
    swapped_.assign(in, in + size_ * width);
    SwapItems(swapped_.data(), size_, width);
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
    const Ref integer(PyNumber_Index(item));
    if (!integer) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    uint64_t code = static_cast<uint64_t>(value);
    bool valid = overflow == 0 && value >= 0;
    if (overflow > 0) {
      code = PyLong_AsUnsignedLongLong(integer.get());
      valid = !PyErr_Occurred();
      PyErr_Clear();  // only OverflowError can come: the value is an int
    }
    valid = valid && (!limit || code < *limit);
    if (!valid) {
      const Ref text(CodeText(integer.get()));
      const Ref message(
          text ? PyUnicode_FromFormat("Code %U %s at position %zd", text.get(), phrase, position)
               : nullptr);
      if (message) RaiseAlphabetError(message.get(), position);
      return false;
    }
    return PushBack(owned_, code);
  };
  // __index__ may run Python code that changes a list: each item is held
  // while it is read.
  if (PyList_Check(iterable) || PyTuple_Check(iterable)) {
    owned_.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(iterable)));
  }
  const bool ok = ForEachItem(iterable, [&](PyObject* item, Py_ssize_t position) {
    const Ref held = Ref::Of(item);
    return add(item, position);
  });
  if (!ok) return false;
  data_ = owned_.data();
  size_ = owned_.size();
  return true;
}

size_t CodeSource::FirstOutside(std::optional<uint64_t> limit) const {
  const uint64_t bound = limit.value_or(UINT64_MAX);
  return VisitCodes(*this, [&](const auto* codes) {
    for (size_t i = 0; i < size_; ++i) {
      if constexpr (std::is_signed_v<std::remove_pointer_t<decltype(codes)>>) {
        if (codes[i] < 0) return i;
      }
      if (limit && static_cast<uint64_t>(codes[i]) >= bound) return i;
    }
    return size_;
  });
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

void RaiseBadCode(const CodeSpan& codes, size_t index, const char* phrase) {
  RaiseBadCode(CodeAt(codes, index), index, phrase);
}

void RaiseBadCode(CodeValue code, size_t index, const char* phrase) {
  const Ref message(PyUnicode_FromFormat("Code %s%llu %s at position %zu", code.negative ? "-" : "",
                                         static_cast<unsigned long long>(code.magnitude), phrase,
                                         index));
  if (message) RaiseAlphabetError(message.get(), static_cast<Py_ssize_t>(index));
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
  object_ = NewUnsignedArray(width, items);
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

}  // namespace native
