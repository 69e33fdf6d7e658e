#include "sequences/status.h"

namespace sequences {

std::string Status::message() const {
  using std::to_string;
  switch (fault_) {
    case Fault::kNone: return {};
    case Fault::kWrongKind:
      return "handle " + to_string(a_) + " does not name a " + kind_tag_ + " sequence";
    case Fault::kIndexOutOfRange:
      return "index " + to_string(a_) + " out of range [0, " + to_string(b_) + ")";
    case Fault::kSubRangeOutOfBounds:
      return "sub-range [" + to_string(a_) + ", " + to_string(b_) + ") outside [0, " +
             to_string(c_) + "]";
    case Fault::kAppendThroughNothing:
      return "cannot append through handle " + to_string(a_) + ": it names no sequence";
    case Fault::kNoMemory: return "out of memory";
  }
  return {};
}

}  // namespace sequences
