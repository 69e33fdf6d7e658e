// Codes crossing the boundary in bulk: buffers of integer codes read in
// place, iterables of ints gathered into native arrays, results made as
// bytes or array.array, and the errors that name a bad code.
//
// All of it runs with the interpreter lock held; what it pins (a buffer, an
// object) stays valid, unchanged in size, until it is let go, so a kernel
// may then work on the memory with the lock released.
#ifndef ALPHABET_NATIVE_CODE_BUFFERS_H_
#define ALPHABET_NATIVE_CODE_BUFFERS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace native {

// The item types of code buffers.  Signed ones keep their sign: a negative
// code is never a valid one.
enum class CodeType : uint8_t { kU8, kI8, kU16, kI16, kU32, kI32, kU64, kI64 };

inline size_t CodeWidth(CodeType type) { return size_t{1} << (static_cast<int>(type) / 2); }
inline bool CodeSigned(CodeType type) { return static_cast<int>(type) % 2 == 1; }

// One code read from memory of its type: its value, whatever the sign.
struct CodeValue {
  bool negative;
  uint64_t magnitude;
};
CodeValue ReadCode(CodeType type, const void* data, size_t index);

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

// A buffer export held for the life of this object.
class PinnedBuffer {
 public:
  PinnedBuffer() = default;
  ~PinnedBuffer() { Release(); }
  PinnedBuffer(const PinnedBuffer&) = delete;
  PinnedBuffer& operator=(const PinnedBuffer&) = delete;

  // Exports `object`'s buffer (flags as PyObject_GetBuffer's).  False with
  // the exception set when it has none or refuses; TypeError when it is not
  // C-contiguous.
  bool Pin(PyObject* object, int flags);
  void Release();

  const Py_buffer& view() const { return view_; }
  void* data() const { return view_.buf; }
  size_t items() const {
    return view_.itemsize > 0 ? static_cast<size_t>(view_.len / view_.itemsize) : 0;
  }
  // The struct format of one item, "B" when the exporter gives none.
  const char* format() const { return view_.format != nullptr ? view_.format : "B"; }

 private:
  Py_buffer view_{};
  bool pinned_ = false;
};

// The buffer of text bytes `object` exposes: one-byte items (formats B, b, c)
// in C order.  False with TypeError for another item type or layout.
bool PinTextBytes(PyObject* object, PinnedBuffer& pinned);

// Integer codes: a pinned buffer, or codes gathered from an iterable of ints.
class CodeSource {
 public:
  // True for an object that exposes a buffer (then read in place).
  static bool IsBuffer(PyObject* object) { return PyObject_CheckBuffer(object) != 0; }

  // A C-contiguous buffer of integer items of any width and byte order
  // (swapped ones are copied in native order).  False with TypeError for a
  // non-integer item type or a layout that is not C-contiguous.
  bool OpenBuffer(PyObject* object);

  // The ints of an iterable (operator.index applies), each checked in turn
  // to lie in [0, limit) (no upper bound without a limit); the first that
  // does not raises AlphabetError("Code <decimal> <phrase> at position <i>").
  // Non-integers raise TypeError naming the type and position.
  bool Gather(PyObject* iterable, std::optional<uint64_t> limit, const char* phrase);

  CodeType type() const { return type_; }
  // Dimensions of a buffer (1 for gathered codes).
  int ndim() const { return gathered_ ? 1 : pinned_.view().ndim; }
  const char* format() const { return pinned_.format(); }
  const void* data() const { return data_; }
  size_t size() const { return size_; }

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

// Raises AlphabetError("Code <code> <phrase> at position <position>",
// position) for the code at `index` of `source`, or for `code` read there.
void RaiseBadCode(const CodeSource& source, size_t index, const char* phrase);
void RaiseBadCode(CodeValue code, size_t index, const char* phrase);

// The decimal text of any int, however many digits it has (the
// interpreter's limit on int-to-str conversion does not apply); null with
// an exception set only when memory runs out.
PyObject* DecimalText(PyObject* integer);

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

// Reverses the byte order of each of `items` items of `width` bytes.
void SwapItems(void* data, size_t items, size_t width);

// A new bytearray of `size` bytes (not cleared); null with MemoryError when
// there is no memory for it.  PyByteArray_FromStringAndSize(NULL, size)
// frees its half-made object on that failure with its export count unset,
// and may print a bogus SystemError about exported buffers.
PyObject* NewByteArray(Py_ssize_t size);

// A new array.array of `typecode` with `items` zeroed items; null with an
// exception set on failure.
PyObject* NewArray(char typecode, size_t items);

// Imports what the helpers need (the array module); false with an exception
// set on failure.
bool AddCodeBuffers(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODE_BUFFERS_H_
