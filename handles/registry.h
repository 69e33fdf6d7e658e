// The process-wide handle registry.
//
// Python never holds a library object; it holds a Handle, a signed 64-bit
// number naming one entry of this registry.  The registry owns what it holds
// through shared ownership: an object lives while any entry (or anybody else
// holding a std::shared_ptr to it) still refers to it.
//
// Handles are issued from 1 upward and never reused.  0 and negative numbers
// are nil handles; -1 (kNoHandle) is what registering no object yields.
// Each entry has a reference count driven by IncRef and DecRef; the DecRef
// that brings the count back to 0 removes the entry.  A new entry starts at
// count 0 and stays live until it is taken up and let go.
//
// Thread safety: every member function may be called from any thread.  One
// readers-writer lock guards the maps: registration and count changes take it
// exclusively, lookups and counting take it shared.  It is a leaf lock: while
// it is held the registry calls nothing but write(2) for a trace line.
#ifndef ALPHABET_HANDLES_REGISTRY_H_
#define ALPHABET_HANDLES_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <tsl/robin_map.h>

#include "handles/rw_lock.h"

namespace handles {

using Handle = int64_t;
inline constexpr Handle kNoHandle = -1;

// Identity of one C++ type of registered object, and how to render an object
// of that type on one line for trace output.
struct ObjectType {
  void (*describe)(const void* object, std::string& out);
};

// Appends `text` with line breaks and backslashes escaped, so that a rendering
// that contains user text stays on one line.
void AppendEscaped(std::string& out, std::string_view text);

// One ObjectType per C++ type.  Rendering uses `std::string Describe(const T&)`,
// found by argument-dependent lookup in T's namespace; line breaks in what it
// returns are escaped here.
template <class T>
const ObjectType* TypeOf() {
  static const ObjectType type{[](const void* object, std::string& out) {
    AppendEscaped(out, Describe(*static_cast<const T*>(object)));
  }};
  return &type;
}

enum class LookupStatus : uint8_t {
  kFound,
  kNil,            // the handle is 0 or negative
  kNotRegistered,  // never issued, or already removed
  kWrongKind,      // registered, but the object is not of the type asked for
};

// The answer of a typed lookup: the object when it is of the asked type.
template <class T>
struct Lookup {
  std::shared_ptr<T> object;
  LookupStatus status = LookupStatus::kNil;

  bool found() const { return status == LookupStatus::kFound; }
  // Nothing is registered under the handle (nil, never issued or removed).
  bool names_nothing() const {
    return status == LookupStatus::kNil || status == LookupStatus::kNotRegistered;
  }
};

// The registry's message for a failed lookup of `handle`: "tova: nil handle"
// or "tova: variable handle not registered: " and the handle.  Only
// kNil and kNotRegistered have one; callers usually discard it.
std::string LookupMessage(LookupStatus status, Handle handle);

class Registry {
 public:
  // With `trace_fd` >= 0 every registration and count change writes one
  // trace line to that descriptor.  Breaches of the IncRef/DecRef pairing are
  // reported on `breach_fd`.
  explicit Registry(int trace_fd = -1, int breach_fd = 2);
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Registers `object` under a new handle with count 0 and returns it; a null
  // object registers nothing and yields kNoHandle.  `tag` names the object's
  // kind in the trace line only; it is not stored.
  template <class T>
  Handle Register(std::string_view tag, std::shared_ptr<T> object) {
    if (!object) return kNoHandle;
    using Plain = std::remove_const_t<T>;
    return RegisterErased(tag, std::const_pointer_cast<Plain>(std::move(object)),
                          TypeOf<Plain>());
  }

  void IncRef(Handle handle);
  void DecRef(Handle handle);

  // Looks `handle` up and hands out a shared reference to its object when it
  // is a T; never changes a count.
  template <class T>
  Lookup<T> VarFromHandleTry(Handle handle) const {
    Lookup<T> result;
    if (handle <= 0) return result;
    std::shared_lock lock(mu_);
    const Entry* entry = Find(handle);
    if (entry == nullptr) {
      result.status = LookupStatus::kNotRegistered;
    } else if (entry->type != TypeOf<std::remove_const_t<T>>()) {
      result.status = LookupStatus::kWrongKind;
    } else {
      result.status = LookupStatus::kFound;
      result.object = std::static_pointer_cast<T>(entry->object);
    }
    return result;
  }

  // Calls `visit(T&)` on the object of `handle` when it is a T, while the
  // registry's shared lock is held, and answers what the lookup found.  It
  // spares the caller a shared reference of its own, for short work on a
  // hot path.  `visit` must not call into the registry (that would deadlock)
  // or into the interpreter, which may run code that does; the caller must
  // ensure nobody else changes the object meanwhile.
  template <class T, class Visitor>
  LookupStatus Visit(Handle handle, Visitor&& visit) const {
    if (handle <= 0) return LookupStatus::kNil;
    std::shared_lock lock(mu_);
    const Entry* entry = Find(handle);
    if (entry == nullptr) return LookupStatus::kNotRegistered;
    if (entry->type != TypeOf<std::remove_const_t<T>>()) return LookupStatus::kWrongKind;
    visit(*static_cast<T*>(entry->object.get()));
    return LookupStatus::kFound;
  }

  // Number of live entries, those still at count 0 included.
  int64_t NumHandles() const;

  // Switches trace output on (fd >= 0) or off (fd < 0).  Not synchronised
  // with other calls: meant for load time, before the registry is shared.
  void SetTraceFd(int fd) { trace_fd_ = fd; }

  // Fork support.  A fork while another thread holds the lock would leave
  // the child's copy of it held forever, and the child's first registration
  // would wait for a thread that does not exist there.  Before the fork the
  // forking thread takes the lock exclusively (every other thread is then
  // outside the registry); afterwards the parent releases it and the child,
  // whose only thread is the forking one, starts from a free lock.  Global()
  // registers these with pthread_atfork.
  void LockForFork();
  void UnlockInParentAfterFork();
  void ResetInChildAfterFork();

 private:
  // A live entry has an object; an empty slot has none.
  struct Entry {
    std::shared_ptr<void> object;
    const ObjectType* type = nullptr;
    int64_t count = 0;
  };

  // Handles are issued in order and never reused, so entries live in pages
  // of consecutive handles, found by page number: a live entry costs its 32
  // bytes and no key.  A page is released once every handle in it has been
  // issued and removed, so memory follows the live handles, not the issued
  // ones.
  static constexpr int kPageShift = 6;
  static constexpr Handle kPageSize = Handle{1} << kPageShift;
  struct Page {
    Entry slots[kPageSize];
    int live = 0;
  };

  Handle RegisterErased(std::string_view tag, std::shared_ptr<void> object,
                        const ObjectType* type);
  // The live entry of `handle`, or null.  Requires mu_.
  Entry* Find(Handle handle) const;
  // Releases the page of `handle` if it holds no live entry and no handle
  // of it remains to be issued.  Requires mu_ held exclusively.
  void ReleasePageIfDone(Handle handle);
  void WriteLine(int fd, const std::string& line) const;
  static std::string DescribeEntry(const Entry& entry);

  mutable RwLock mu_;
  tsl::robin_map<Handle, std::unique_ptr<Page>> pages_;  // by page number; guarded by mu_
  Handle last_issued_ = 0;                               // guarded by mu_
  int64_t live_ = 0;                                     // guarded by mu_
  int trace_fd_;
  int breach_fd_;
};

// The process-wide registry that the module's functions use.
Registry& Global();

// Reads the trace switch, "TOVA_HANDLE_TRACE", once: any non-empty value
// sends trace lines of the global registry to standard output.  Called by the
// module's load-time start-up.
void InitTraceFromEnvironment();

}  // namespace handles

#endif  // ALPHABET_HANDLES_REGISTRY_H_
