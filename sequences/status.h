// Status: how a sequence operation went, as a value.
//
// An operation that refuses its arguments changes nothing and registers
// nothing; the status says why, with the numbers a message needs.  The
// caller decides what a fault becomes (the bindings turn each one into a
// Python exception); message() gives the words for it.
//
// A status is a small plain value, safe to copy and to read from any thread.
#ifndef ALPHABET_SEQUENCES_STATUS_H_
#define ALPHABET_SEQUENCES_STATUS_H_

#include <cstdint>
#include <string>

namespace sequences {

enum class Fault : uint8_t {
  kNone,
  kWrongKind,             // the handle names an object of another storage type
  kIndexOutOfRange,       // an index outside [0, length)
  kSubRangeOutOfBounds,   // sub-range bounds outside 0 <= st <= ed <= capacity
  kAppendThroughNothing,  // an append through a handle that names nothing
  kNoMemory,              // an allocation failed
};

class Status {
 public:
  Status() = default;

  static Status Ok() { return Status(); }
  // `kind_tag` names the kind the caller asked for ("[]int"); it must
  // outlive the status, as the string literals the operations pass do.
  static Status WrongKind(int64_t handle, const char* kind_tag) {
    return Status(Fault::kWrongKind, handle, 0, 0, kind_tag);
  }
  static Status IndexOutOfRange(int64_t index, int64_t length) {
    return Status(Fault::kIndexOutOfRange, index, length, 0, nullptr);
  }
  static Status SubRangeOutOfBounds(int64_t st, int64_t ed, int64_t capacity) {
    return Status(Fault::kSubRangeOutOfBounds, st, ed, capacity, nullptr);
  }
  static Status AppendThroughNothing(int64_t handle) {
    return Status(Fault::kAppendThroughNothing, handle, 0, 0, nullptr);
  }
  static Status NoMemory() { return Status(Fault::kNoMemory, 0, 0, 0, nullptr); }

  bool ok() const { return fault_ == Fault::kNone; }
  Fault fault() const { return fault_; }

  // The fault in words, e.g. "index 3 out of range [0, 3)"; empty when ok.
  // May throw std::bad_alloc.
  std::string message() const;

 private:
  Status(Fault fault, int64_t a, int64_t b, int64_t c, const char* kind_tag)
      : fault_(fault), a_(a), b_(b), c_(c), kind_tag_(kind_tag) {}

  Fault fault_ = Fault::kNone;
  // The fault's numbers, in the order of its factory's parameters.
  int64_t a_ = 0;
  int64_t b_ = 0;
  int64_t c_ = 0;
  const char* kind_tag_ = nullptr;
};

// A value and the status of the operation that made it; the value is its
// neutral (value-initialised) form unless the status is ok.
template <class T>
struct Result {
  T value{};
  Status status;
};

}  // namespace sequences

#endif  // ALPHABET_SEQUENCES_STATUS_H_
