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

  // The element reads and writes below run on the sequence in place, under
  // the registry's shared lock (Visit), and raise only after it is released;
  // the interpreter lock keeps other threads off the sequence meanwhile.

  static int64_t Len(int64_t handle, const char* tag) {
    int64_t length = 0;
    Visit(handle, tag, [&](Seq& seq) { length = seq.length(); });
    return length;
  }

  static FlatOut Elem(int64_t handle, int64_t index, const char* tag) {
    FlatOut out{};
    int64_t length = 0;
    bool in_bounds = false;
    if (!Visit(handle, tag, [&](Seq& seq) {
          length = seq.length();
          in_bounds = seq.InBounds(index);
          if (in_bounds) out = Storage::Out(seq[index]);
        })) {
      return out;
    }
    if (!in_bounds) RaiseOutOfRange(index, length);
    return out;
  }

  static int64_t SubSlice(int64_t handle, int64_t st, int64_t ed, const char* tag) {
    return bindings::CatchNoMemory([&]() -> int64_t {
      Seq sub;
      int64_t capacity = 0;
      bool in_bounds = st == 0 && ed == 0;  // what a missing sequence allows
      if (!Visit(handle, tag, [&](Seq& seq) {
            capacity = seq.capacity();
            in_bounds = seq.SubRangeInBounds(st, ed);
            if (in_bounds) sub = seq.SubRange(st, ed);
          })) {
        return handles::kNoHandle;
      }
      if (!in_bounds) {
        bindings::RaiseIndexError("sub-range [" + std::to_string(st) + ", " +
                                  std::to_string(ed) + ") outside [0, " +
                                  std::to_string(capacity) + "]");
        return handles::kNoHandle;
      }
      return handles::Global().Register(tag, std::make_shared<Seq>(std::move(sub)));
    });
  }

  static void Set(int64_t handle, int64_t index, FlatIn value, const char* tag) {
    bindings::CatchNoMemory([&] {
      // Converted (for texts: copied) before the lock is taken.
      typename Seq::Elem stored = Storage::In(value);
      int64_t length = 0;
      bool in_bounds = false;
      if (!Visit(handle, tag, [&](Seq& seq) {
            length = seq.length();
            in_bounds = seq.InBounds(index);
            if (in_bounds) seq[index] = std::move(stored);
          })) {
        return;
      }
      if (!in_bounds) RaiseOutOfRange(index, length);
    });
  }

  static void Append(int64_t handle, FlatIn value, const char* tag) {
    bindings::CatchNoMemory([&] {
      typename Seq::Elem stored = Storage::In(value);
      bool appended = false, found = false;
      if (!Visit(handle, tag, [&](Seq& seq) {
            found = true;
            // Growing allocates and copies the whole sequence: that is done
            // below, without holding up the registry.
            if (seq.length() < seq.capacity()) {
              seq.Append(std::move(stored));
              appended = true;
            }
          })) {
        return;
      }
      if (appended) return;
      if (!found) {
        bindings::RaiseValueError("cannot append through handle " + std::to_string(handle) +
                                  ": it names no sequence");
        return;
      }
      if (std::shared_ptr<Seq> seq = Find(handle, tag).seq) seq->Append(std::move(stored));
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
    RaiseWrongKind(handle, tag);
    return {nullptr, true};
  }

 private:
  // Runs `visit` on the sequence `handle` names, if any.  False, with
  // TypeError raised, when it names an object of another kind.
  template <class Visitor>
  static bool Visit(int64_t handle, const char* tag, Visitor&& visit) {
    if (handles::Global().Visit<Seq>(handle, visit) != handles::LookupStatus::kWrongKind) {
      return true;
    }
    RaiseWrongKind(handle, tag);
    return false;
  }

  static void RaiseWrongKind(int64_t handle, const char* tag) {
    bindings::RaiseTypeError("handle " + std::to_string(handle) + " does not name a " + tag +
                             " sequence");
  }

  static void RaiseOutOfRange(int64_t index, int64_t length) {
    bindings::RaiseIndexError("index " + std::to_string(index) + " out of range [0, " +
                              std::to_string(length) + ")");
  }

};

}  // namespace sequences

#endif  // ALPHABET_SEQUENCES_OPERATIONS_H_
