// The six sequence operations, written once for every storage type, on
// sequences named by handles of the global registry.
//
// Each reports a fault as a Status and then has changed nothing and
// registered nothing:
//   - a handle naming an object of another storage type: kWrongKind;
//   - an index outside [0, length): kIndexOutOfRange;
//   - a sub-range outside 0 <= st <= ed <= capacity: kSubRangeOutOfBounds;
//   - an append through a handle that names nothing: kAppendThroughNothing;
//   - an allocation failure: kNoMemory.
// A handle that names nothing otherwise reads as an empty sequence.  `tag`
// names the caller's kind ("[]int"): it is the registry's trace tag of what
// the operation registers and the kind a kWrongKind status names; it must
// be a string literal or otherwise outlive the status.
//
// Sequences are not thread-safe: the caller runs every operation on them
// under one lock of its own (the bindings hold the interpreter lock).  The
// registry's lock is taken only around each lookup.
#ifndef ALPHABET_SEQUENCES_OPERATIONS_H_
#define ALPHABET_SEQUENCES_OPERATIONS_H_

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "handles/registry.h"
#include "sequences/sequence.h"
#include "sequences/status.h"

namespace sequences {

template <class Storage>
class Operations {
 public:
  using Seq = Sequence<Storage>;
  using Elem = typename Storage::Elem;
  using Handle = handles::Handle;

  // A new empty sequence.
  static Result<Handle> CTor(const char* tag) {
    return Guarded<Handle>([&]() -> Result<Handle> {
      return {handles::Global().Register(tag, std::make_shared<Seq>()), Status::Ok()};
    });
  }

  // The element reads and writes below run on the sequence in place, under
  // the registry's shared lock (Visit).

  static Result<int64_t> Len(Handle handle, const char* tag) {
    Result<int64_t> result;
    result.status = Visit(handle, tag, [&](Seq& seq) { result.value = seq.length(); });
    return result;
  }

  // Calls `read(const Elem&)` on the element at `index`, under the
  // registry's shared lock: `read` must neither throw nor call into the
  // registry.
  template <class Reader>
  static Status Read(Handle handle, int64_t index, const char* tag, Reader&& read) {
    int64_t length = 0;
    bool in_bounds = false;
    Status status = Visit(handle, tag, [&](Seq& seq) {
      length = seq.length();
      in_bounds = seq.InBounds(index);
      if (in_bounds) read(std::as_const(seq)[index]);
    });
    if (status.ok() && !in_bounds) return Status::IndexOutOfRange(index, length);
    return status;
  }

  // A new sequence sharing the block of `handle`'s over [st, ed).
  static Result<Handle> SubSlice(Handle handle, int64_t st, int64_t ed, const char* tag) {
    return Guarded<Handle>([&]() -> Result<Handle> {
      Seq sub;
      int64_t capacity = 0;
      bool in_bounds = st == 0 && ed == 0;  // what a missing sequence allows
      Status status = Visit(handle, tag, [&](Seq& seq) {
        capacity = seq.capacity();
        in_bounds = seq.SubRangeInBounds(st, ed);
        if (in_bounds) sub = seq.SubRange(st, ed);
      });
      if (!status.ok()) return {handles::kNoHandle, status};
      if (!in_bounds) return {handles::kNoHandle, Status::SubRangeOutOfBounds(st, ed, capacity)};
      return {handles::Global().Register(tag, std::make_shared<Seq>(std::move(sub))), Status::Ok()};
    });
  }

  static Status Set(Handle handle, int64_t index, Elem value, const char* tag) {
    int64_t length = 0;
    bool in_bounds = false;
    Status status = Visit(handle, tag, [&](Seq& seq) {
      length = seq.length();
      in_bounds = seq.InBounds(index);
      if (in_bounds) seq[index] = std::move(value);
    });
    if (status.ok() && !in_bounds) return Status::IndexOutOfRange(index, length);
    return status;
  }

  static Status Append(Handle handle, Elem value, const char* tag) {
    return Guarded<void>([&] {
      bool appended = false, found = false;
      Status status = Visit(handle, tag, [&](Seq& seq) {
        found = true;
        // Growing allocates and copies the whole sequence: that is done
        // below, without holding up the registry.
        if (seq.length() < seq.capacity()) {
          seq.Append(std::move(value));
          appended = true;
        }
      });
      if (!status.ok() || appended) return status;
      if (!found) return Status::AppendThroughNothing(handle);
      Result<std::shared_ptr<Seq>> seq = Find(handle, tag);
      if (seq.value) seq.value->Append(std::move(value));
      return seq.status;
    });
  }

  // The sequence `handle` names, null when nothing is registered under it.
  static Result<std::shared_ptr<Seq>> Find(Handle handle, const char* tag) {
    auto lookup = handles::Global().VarFromHandleTry<Seq>(handle);
    if (lookup.status == handles::LookupStatus::kWrongKind) {
      return {nullptr, Status::WrongKind(handle, tag)};
    }
    return {std::move(lookup.object), Status::Ok()};
  }

 private:
  // Runs `visit` on the sequence `handle` names, if any.
  template <class Visitor>
  static Status Visit(Handle handle, const char* tag, Visitor&& visit) {
    if (handles::Global().Visit<Seq>(handle, visit) == handles::LookupStatus::kWrongKind) {
      return Status::WrongKind(handle, tag);
    }
    return Status::Ok();
  }

  // Runs `body`, turning an allocation failure into kNoMemory.  T is the
  // result's value type, void for a plain Status.
  template <class T, class Body>
  static auto Guarded(Body&& body) -> decltype(body()) {
    try {
      return body();
    } catch (const std::bad_alloc&) {
      if constexpr (std::is_void_v<T>) {
        return Status::NoMemory();
      } else {
        return Result<T>{T{}, Status::NoMemory()};
      }
    }
  }
};

}  // namespace sequences

#endif  // ALPHABET_SEQUENCES_OPERATIONS_H_
