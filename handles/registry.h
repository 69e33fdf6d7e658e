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
// readers-writer lock guards the pages: registration and count changes take
// it exclusively, lookups and counting take it shared.  It is a leaf lock:
// while it is held the registry calls nothing but the allocator, write(2)
// for a line, and an object's Describe for a breach line.  A registration
// describes its object for the trace line before taking the lock.
#ifndef ALPHABET_HANDLES_REGISTRY_H_
#define ALPHABET_HANDLES_REGISTRY_H_

#include <bit>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "handles/page_index.h"
#include "handles/rw_lock.h"

namespace handles {

using Handle = int64_t;
inline constexpr Handle kNoHandle = -1;

// An object's rendering in a trace or breach line is cut to this many bytes,
// the last three of them "...".  The lines are built under the registry's
// lock, and a breach line must come out even when memory is short.
inline constexpr size_t kMaxShownBytes = 480;

// Identity of one C++ type of registered object, and how to render an object
// of that type on one line for trace output.
struct ObjectType {
  void (*describe)(const void* object, std::string& out);
};

// Appends `text` with line breaks and backslashes escaped, so that a rendering
// that contains user text stays on one line.  When that takes more than
// `limit` bytes (at least 3), appends only as much as fits before a closing
// "...", never splitting an escape or a UTF-8 character.
void AppendEscaped(std::string& out, std::string_view text, size_t limit);

// One ObjectType per C++ type.  Rendering uses `std::string Describe(const T&)`,
// found by argument-dependent lookup in T's namespace, which should keep what
// it returns short; line breaks in it are escaped here and it is cut to
// kMaxShownBytes.
template <class T>
const ObjectType* TypeOf() {
  static const ObjectType type{[](const void* object, std::string& out) {
    AppendEscaped(out, Describe(*static_cast<const T*>(object)), kMaxShownBytes);
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
};

// The number of bits set in `bits`.  std::popcount compiles to a call into
// the compiler's support library on baseline x86-64 (no POPCNT instruction),
// which costs a lookup several nanoseconds; a few shifts and one multiply do
// it inline.
constexpr int CountBits(uint64_t bits) {
#if defined(__x86_64__) && !defined(__POPCNT__)
  bits -= (bits >> 1) & 0x5555555555555555u;
  bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((bits * 0x0101010101010101u) >> 56);
#else
  return std::popcount(bits);
#endif
}

class Registry {
 public:
  // With `trace_fd` >= 0 every registration and count change writes one
  // trace line to that descriptor.  Breaches of the IncRef/DecRef pairing are
  // reported on `breach_fd`.
  explicit Registry(int trace_fd = -1, int breach_fd = 2);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Registers `object` under a new handle with count 0 and returns it; a null
  // object registers nothing and yields kNoHandle.  `tag` names the object's
  // kind in the trace line only; it is not stored.  Throws std::bad_alloc
  // when memory runs out (and, while tracing, whatever describing the object
  // throws); then nothing is registered and no handle is used up.
  template <class T>
  Handle Register(std::string_view tag, std::shared_ptr<T> object) {
    if (!object) return kNoHandle;
    using Plain = std::remove_const_t<T>;
    return RegisterErased(tag, std::const_pointer_cast<Plain>(std::move(object)), TypeOf<Plain>());
  }

  // Count changes never fail: their lines are built without allocating, and
  // a breach line that cannot be built is replaced by a fixed one.
  void IncRef(Handle handle) noexcept;
  void DecRef(Handle handle) noexcept;

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

  // What the registry keeps allocated for its entries: pages, and entry
  // slots (live or spare) across them.  For tests and benchmarks.
  struct Footprint {
    int64_t pages = 0;
    int64_t entry_slots = 0;
  };
  Footprint MemoryFootprint() const;

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
  struct Entry {
    std::shared_ptr<void> object;
    const ObjectType* type = nullptr;
    int64_t count = 0;
  };

  // Handles are issued in order and never reused, so entries are grouped in
  // pages of 64 consecutive handles, found by page number; the occupancy
  // bits of a page tell which of its handles are live.  The page being
  // issued into is direct: an array of 64 entries, each at its handle's
  // position, so that registration and the short lives of most handles need
  // no counting.  Once all its handles have been issued, a page that is at
  // most half full is packed: it keeps only its live entries, in handle
  // order, a handle's entry at its rank among the live ones (the set bits
  // below its own).  A completed page, direct or packed, shrinks to a packed
  // array half full when removals leave it a quarter full, and is freed when
  // its last entry goes.  So memory follows the live handles, not the issued
  // ones: a live entry costs about its 32 bytes, and no key, among live
  // neighbours, and about 110 when it is alone in its page (the page's index
  // slot and an array of its own).
  static constexpr int kPageShift = 6;
  static constexpr Handle kPageSize = Handle{1} << kPageShift;
  // A page's record sits in its index slot, two words beside the key.
  struct Page {
    uint64_t occupied;  // bit i: handle (page number << kPageShift) + i is live
    uintptr_t block;    // the entry array's address, plus kDirect when direct
  };
  static constexpr uintptr_t kDirect = 1;  // entry arrays are 8-byte aligned
  static Entry* Entries(const Page& page) {
    return reinterpret_cast<Entry*>(page.block & ~kDirect);
  }
  static bool Direct(const Page& page) { return (page.block & kDirect) != 0; }
  // Entries allocated in the page's array, spare room included; a direct
  // page's array has exactly kPageSize.
  static uint32_t Capacity(const Page& page);

  Handle RegisterErased(std::string_view tag, std::shared_ptr<void> object, const ObjectType* type);

  // The live entry of `handle`, or null.  Requires mu_.
  Entry* Find(Handle handle) const {
    const Page* page = pages_.Find(handle >> kPageShift);
    if (page == nullptr) return nullptr;
    const int position = static_cast<int>(handle & (kPageSize - 1));
    const uint64_t bit = uint64_t{1} << position;
    if ((page->occupied & bit) == 0) return nullptr;
    if (Direct(*page)) return &Entries(*page)[position];
    return &Entries(*page)[CountBits(page->occupied & (bit - 1))];
  }

  // Whether every handle of page `number` has been issued.  Requires mu_.
  bool Complete(Handle number) const { return last_issued_ >= ((number + 1) << kPageShift) - 1; }
  // Page `number` has just become complete: frees it when it holds no live
  // entry, else packs it when that saves half.  Requires mu_ held
  // exclusively.
  void FinishPage(Handle number) noexcept;
  // Moves the live entries of `page` into `to`, a new array whose entries
  // are not yet constructed (direct if it has kPageSize, else packed), and
  // frees the old array.
  static void MoveEntries(Page& page, Entry* to) noexcept;
  // The same into a new array, or nothing if memory for it cannot be had.
  static void Reallocate(Page& page, uint32_t capacity) noexcept;

  void ReportUnpairedDecRef(Handle handle, const Entry& entry) const noexcept;
  static void WriteLine(int fd, std::string_view line) noexcept;

  mutable RwLock mu_;
  PageIndex<Page> pages_;   // guarded by mu_
  Handle last_issued_ = 0;  // guarded by mu_
  int64_t live_ = 0;        // guarded by mu_
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
