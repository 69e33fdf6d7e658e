// The six sequence operations, written once for every storage type.  They
// run with the interpreter lock held; faults become Python exceptions
// (bindings/errors.h) and the operation returns its neutral result with
// nothing changed and nothing registered:
//   - a handle naming an object of another storage type: TypeError;
//   - an index outside [0, length) or a sub-range outside [0, capacity]:
//     IndexError;
//   - an append through a handle that names nothing: ValueError.
// A handle that names nothing otherwise reads as an empty sequence.
#ifndef ALPHABET_SEQUENCES_OPERATIONS_H_
#define ALPHABET_SEQUENCES_OPERATIONS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "bindings/errors.h"
#include "handles/registry.h"
#include "sequences/sequence.h"

namespace sequences {

template <class Storage>
class Operations {
 public:
  using Seq = Sequence<Storage>;
  using FlatIn = typename Storage::FlatIn;
  using FlatOut = typename Storage::FlatOut;

  static int64_t CTor(const char* tag) {
    return bindings::CatchNoMemory(
        [&] { return handles::Global().Register(tag, std::make_shared<Seq>()); });
  }

  static int64_t Len(int64_t handle, const char* tag) {
    Found found = Find(handle, tag);
    return found.seq ? found.seq->length() : 0;
  }

  static FlatOut Elem(int64_t handle, int64_t index, const char* tag) {
    return bindings::CatchNoMemory([&]() -> FlatOut {
      Found found = Find(handle, tag);
      if (found.refused || !CheckIndex(found.seq.get(), index)) return FlatOut{};
      return Storage::Out((*found.seq)[index]);
    });
  }

  static int64_t SubSlice(int64_t handle, int64_t st, int64_t ed, const char* tag) {
    return bindings::CatchNoMemory([&]() -> int64_t {
      Found found = Find(handle, tag);
      if (found.refused) return handles::kNoHandle;
      const Seq& source = found.seq ? *found.seq : kEmpty;
      if (!source.SubRangeInBounds(st, ed)) {
        bindings::RaiseIndexError("sub-range [" + std::to_string(st) + ", " +
                                  std::to_string(ed) + ") outside [0, " +
                                  std::to_string(source.capacity()) + "]");
        return handles::kNoHandle;
      }
      return handles::Global().Register(tag, std::make_shared<Seq>(source.SubRange(st, ed)));
    });
  }

  static void Set(int64_t handle, int64_t index, FlatIn value, const char* tag) {
    bindings::CatchNoMemory([&] {
      Found found = Find(handle, tag);
      if (found.refused || !CheckIndex(found.seq.get(), index)) return;
      (*found.seq)[index] = Storage::In(value);
    });
  }

  static void Append(int64_t handle, FlatIn value, const char* tag) {
    bindings::CatchNoMemory([&] {
      Found found = Find(handle, tag);
      if (found.refused) return;
      if (!found.seq) {
        bindings::RaiseValueError("cannot append through handle " + std::to_string(handle) +
                                  ": it names no sequence");
        return;
      }
      found.seq->Append(Storage::In(value));
    });
  }

  // The sequence `handle` names, null when nothing is registered under it.
  // An object of another kind is refused with TypeError.
  struct Found {
    std::shared_ptr<Seq> seq;
    bool refused = false;
  };
  static Found Find(int64_t handle, const char* tag) {
    auto lookup = handles::Global().VarFromHandleTry<Seq>(handle);
    if (lookup.status != handles::LookupStatus::kWrongKind) return {std::move(lookup.object)};
    bindings::RaiseTypeError("handle " + std::to_string(handle) + " does not name a " + tag +
                             " sequence");
    return {nullptr, true};
  }

 private:
  // A missing sequence has length 0, so every index is out of range.
  static bool CheckIndex(const Seq* seq, int64_t index) {
    const int64_t length = seq ? seq->length() : 0;
    if (0 <= index && index < length) return true;
    bindings::RaiseIndexError("index " + std::to_string(index) + " out of range [0, " +
                              std::to_string(length) + ")");
    return false;
  }

  static inline const Seq kEmpty{};
};

}  // namespace sequences

#endif  // ALPHABET_SEQUENCES_OPERATIONS_H_
