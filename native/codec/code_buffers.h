// Codes crossing the boundary in bulk: buffers of integer codes read in
// place, iterables of ints gathered into native arrays, results made as
// bytes or array.array, and the errors that name a bad code.
//
// All of it runs with the interpreter lock held; what it pins (a buffer, an
// object) stays valid, unchanged in size, until it is let go, so a kernel
// may then work on the memory with the lock released (common/buffers.h).
#ifndef ALPHABET_NATIVE_CODEC_CODE_BUFFERS_H_
#define ALPHABET_NATIVE_CODEC_CODE_BUFFERS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "native/common/buffers.h"

namespace native {

// The item types of code buffers.  Signed ones keep their sign: a negative
// code is never a valid one.
enum class CodeType : uint8_t { kU8, kI8, kU16, kI16, kU32, kI32, kU64, kI64 };

inline size_t CodeWidth(CodeType type) { return size_t{1} << (static_cast<int>(type) / 2); }
inline bool CodeSigned(CodeType type) { return static_cast<int>(type) % 2 == 1; }

// One code's value, whatever the sign.
struct CodeValue {
  bool negative;
  uint64_t magnitude;
};

// One read of a code from a buffer that another thread may write to
// meanwhile (a bytearray being filled by a read without the interpreter
// lock): a code that is checked and then used must come from a single read.
template <class T>
T ReadOnce(const T* code) {
  return __atomic_load_n(code, __ATOMIC_RELAXED);
}

// Whether `code` lies in [0, size); if not, `bad` receives its value.
template <class T>
bool CodeBelow(T code, uint64_t size, CodeValue& bad) {
  if constexpr (T(-1) < T(0)) {
    if (code < 0) {
      bad = {true, 0 - static_cast<uint64_t>(code)};
      return false;
    }
  }
  if (static_cast<uint64_t>(code) < size) return true;
  bad = {false, static_cast<uint64_t>(code)};
  return false;
}

// Pins `object`'s buffer (flags as PyObject_GetBuffer's); false with the
// exception set when it has none or refuses, and with TypeError when it is
// not C-contiguous.
bool PinContiguous(PyObject* object, int flags, PinnedBuffer& pinned);

// The buffer of text bytes `object` exposes: one-byte items (formats B, b, c)
// in C order, in one dimension.  False with TypeError for another item type,
// layout or shape.
bool PinTextBytes(PyObject* object, PinnedBuffer& pinned);

// False with TypeError naming `what` and the buffer's shape unless it has
// `dimensions` dimensions (for one, a 0-d buffer passes too).
bool CheckDimensions(const PinnedBuffer& pinned, int dimensions, const char* what);

// A run of codes of one item type in memory someone else holds (a part of
// a CodeSource's codes, say).
class CodeSpan {
 public:
  CodeSpan(CodeType type, const void* data, size_t size) : type_(type), data_(data), size_(size) {}
  CodeType type() const { return type_; }
  const void* data() const { return data_; }
  size_t size() const { return size_; }
  // Codes [begin, begin + count) of this span.
  CodeSpan Part(size_t begin, size_t count) const {
    return {type_, static_cast<const unsigned char*>(data_) + begin * CodeWidth(type_), count};
  }

 private:
  CodeType type_;
  const void* data_;
  size_t size_;
};

// Integer codes: a pinned buffer, or codes gathered from an iterable of ints.
class CodeSource {
 public:
  // True for an object that exposes a buffer (then read in place).
  static bool IsBuffer(PyObject* object) { return PyObject_CheckBuffer(object) != 0; }

  // A C-contiguous buffer of integer items of any width and byte order
  // (swapped ones are copied in native order), of one dimension (a 0-d
  // buffer is one code) or, with `dimensions` 2, rows of codes.  False with
  // TypeError for a non-integer item type, a layout that is not
  // C-contiguous, or another number of dimensions (naming the shape).
  bool OpenBuffer(PyObject* object, int dimensions = 1);

  // The ints of an iterable (operator.index applies), each checked in turn
  // to lie in [0, limit) (no upper bound without a limit); the first that
  // does not raises AlphabetError("Code <decimal> <phrase> at position <i>").
  // Non-integers raise TypeError naming the type and position.
  bool Gather(PyObject* iterable, std::optional<uint64_t> limit, const char* phrase);

  CodeType type() const { return type_; }
  // For rows of codes: how many, and the codes in each.
  size_t rows() const { return static_cast<size_t>(pinned_.view().shape[0]); }
  size_t columns() const { return static_cast<size_t>(pinned_.view().shape[1]); }
  const char* format() const { return pinned_.format(); }
  const void* data() const { return data_; }
  size_t size() const { return size_; }
  CodeSpan span() const { return {type_, data_, size_}; }

  // Index of the first code outside [0, limit), or size().
  size_t FirstOutside(std::optional<uint64_t> limit) const;
  // The buffer's items are in the other byte order (read through a copy).
  bool swapped() const { return !swapped_.empty(); }
  // Whether [data, data + bytes) shares memory with the pinned buffer.
  bool Overlaps(const void* data, size_t bytes) const;
  // From here on, the codes are read from a private copy, unless nobody can
  // change them meanwhile (bytes, gathered or swapped codes): for work that
  // reads each code more than once, which another thread or process writing
  // to the buffer between two reads would otherwise make inconsistent.
  void Snapshot();

 private:
  PinnedBuffer pinned_;
  std::vector<uint64_t> owned_;
  std::vector<unsigned char> swapped_;
  std::vector<unsigned char> snapshot_;
  CodeType type_ = CodeType::kU8;
  bool gathered_ = false;
  const void* data_ = nullptr;
  size_t size_ = 0;
};

// Calls `work` with the codes of `source` (a CodeSource or a CodeSpan) typed
// by their item type: the one place that turns a CodeType into a C++ type.
template <class Source, class Work>
auto VisitCodes(const Source& source, Work&& work) {
  const void* data = source.data();
  switch (source.type()) {
    case CodeType::kU8: return work(static_cast<const uint8_t*>(data));
    case CodeType::kI8: return work(static_cast<const int8_t*>(data));
    case CodeType::kU16: return work(static_cast<const uint16_t*>(data));
    case CodeType::kI16: return work(static_cast<const int16_t*>(data));
    case CodeType::kU32: return work(static_cast<const uint32_t*>(data));
    case CodeType::kI32: return work(static_cast<const int32_t*>(data));
    case CodeType::kU64: return work(static_cast<const uint64_t*>(data));
    case CodeType::kI64: break;
  }
  return work(static_cast<const int64_t*>(data));
}

// Raises AlphabetError("Code <code> <phrase> at position <position>",
// position) for the code at `index` of `source`, or for `code` read there.
void RaiseBadCode(const CodeSpan& codes, size_t index, const char* phrase);
inline void RaiseBadCode(const CodeSource& source, size_t index, const char* phrase) {
  RaiseBadCode(source.span(), index, phrase);
}
void RaiseBadCode(CodeValue code, size_t index, const char* phrase);

// A new result of `items` codes of `width` bytes (1, 2, 4 or 8): bytes for 1,
// else an array.array ('H', 'I' or 'Q' of that width); its memory is
// writable through data() until Take().
class CodeOutput {
 public:
  CodeOutput() = default;
  ~CodeOutput();
  CodeOutput(const CodeOutput&) = delete;
  CodeOutput& operator=(const CodeOutput&) = delete;

  bool Make(size_t width, size_t items);
  void* data() const { return data_; }
  // The result; this object no longer holds it.
  PyObject* Take();

 private:
  PyObject* object_ = nullptr;
  PinnedBuffer pinned_;
  void* data_ = nullptr;
};

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_CODE_BUFFERS_H_
