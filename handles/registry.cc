#include "handles/registry.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <new>

namespace handles {
namespace {

// Longest decimal rendering of a Handle or a count: "-9223372036854775808".
constexpr size_t kMaxDigits = 20;

constexpr std::string_view kBreachPrefix = "tova DecRef ref count -1 for handle: ";

// `c` as it appears in a line.
std::string_view Escaped(const char& c) {
  switch (c) {
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\\': return "\\\\";
    default: return std::string_view(&c, 1);
  }
}

// A UTF-8 continuation byte: a cut before it would split a character.
bool Continues(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A line of fixed shape built on the stack: the count lines and the breach
// line's fallback must not allocate, so that IncRef and DecRef never fail.
class ShortLine {
 public:
  ShortLine& operator<<(std::string_view text) {
    const size_t n = std::min(text.size(), sizeof buffer_ - size_);
    text.copy(buffer_ + size_, n);
    size_ += n;
    return *this;
  }
  ShortLine& operator<<(int64_t number) {
    char digits[kMaxDigits];
    const char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return *this << std::string_view(digits, static_cast<size_t>(end - digits));
  }
  std::string_view view() const { return std::string_view(buffer_, size_); }

 private:
  char buffer_[160];
  size_t size_ = 0;
};

// An entry array keeps its capacity in a word just before its entries: the
// page record stays two words, and malloc's rounding of the block (to 16
// bytes, with its own 8-byte header) makes the word free.
template <class T>
T* NewArray(uint32_t capacity, std::nothrow_t) noexcept {
  static_assert(alignof(T) <= sizeof(uint64_t));
  void* block = ::operator new(sizeof(uint64_t) + capacity * sizeof(T), std::nothrow);
  if (block == nullptr) return nullptr;
  *static_cast<uint64_t*>(block) = capacity;
  return reinterpret_cast<T*>(static_cast<uint64_t*>(block) + 1);
}

template <class T>
T* NewArray(uint32_t capacity) {
  if (T* array = NewArray<T>(capacity, std::nothrow)) return array;
  throw std::bad_alloc();
}

template <class T>
uint32_t CapacityOf(const T* array) {
  return array == nullptr ? 0 : static_cast<uint32_t>(reinterpret_cast<const uint64_t*>(array)[-1]);
}

template <class T>
void FreeArray(T* array) {
  if (array != nullptr) ::operator delete(reinterpret_cast<uint64_t*>(array) - 1);
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text, size_t limit) {
  // `keep` counts the bytes of text that fit with room left for "...".
  size_t used = 0, keep = 0;
  bool cut = false;
  for (size_t i = 0; i < text.size() && !cut; ++i) {
    used += Escaped(text[i]).size();
    if (used <= limit - 3) keep = i + 1;
    cut = used > limit;
  }
  if (!cut) {
    keep = text.size();
  } else {
    while (keep > 0 && Continues(text[keep])) --keep;
  }
  for (size_t i = 0; i < keep; ++i) out += Escaped(text[i]);
  if (cut) out += "...";
}

Registry::Registry(int trace_fd, int breach_fd) : trace_fd_(trace_fd), breach_fd_(breach_fd) {}

Registry::~Registry() {
  pages_.ForEach([](Handle, Page& page) {
    Entry* entries = Entries(page);
    const bool direct = Direct(page);
    int rank = 0;
    for (uint64_t rest = page.occupied; rest != 0; rest &= rest - 1, ++rank) {
      std::destroy_at(entries + (direct ? std::countr_zero(rest) : rank));
    }
    FreeArray(entries);
  });
}

uint32_t Registry::Capacity(const Page& page) { return CapacityOf(Entries(page)); }

void Registry::MoveEntries(Page& page, Entry* to) noexcept {
  Entry* from = Entries(page);
  const bool from_direct = Direct(page), to_direct = CapacityOf(to) == kPageSize;
  int rank = 0;
  for (uint64_t rest = page.occupied; rest != 0; rest &= rest - 1, ++rank) {
    const int position = std::countr_zero(rest);
    Entry& moved = from[from_direct ? position : rank];
    std::construct_at(to + (to_direct ? position : rank), std::move(moved));
    std::destroy_at(&moved);
  }
  FreeArray(from);
  page.block = reinterpret_cast<uintptr_t>(to) | (to_direct ? kDirect : 0);
}

void Registry::Reallocate(Page& page, uint32_t capacity) noexcept {
  if (Entry* to = NewArray<Entry>(capacity, std::nothrow)) MoveEntries(page, to);
}

void Registry::FinishPage(Handle number) noexcept {
  Page* page = pages_.Find(number);
  if (page == nullptr) return;
  // No more handles will land here: trim the page to its live entries,
  // unless at least half of it lives.
  const uint32_t live = CountBits(page->occupied);
  if (live == 0) {
    FreeArray(Entries(*page));
    pages_.Erase(number);
  } else if (2 * live <= kPageSize) {
    Reallocate(*page, live);
  }
}

Handle Registry::RegisterErased(std::string_view tag, std::shared_ptr<void> object,
                                const ObjectType* type) {
  // The trace line is built first, with room for the handle's digits: the
  // object is not shared yet, so it can be described without the lock, and
  // nothing below allocates once the entry is stored.
  const int trace_fd = trace_fd_;
  std::string line;
  if (trace_fd >= 0) {
    line = "tova Registered: ";
    line.append(tag);
    line += ' ';
    type->describe(object.get(), line);
    line += ' ';
    line.reserve(line.size() + kMaxDigits + 1);
  }

  std::unique_lock lock(mu_);
  const Handle handle = last_issued_ + 1;
  const Handle number = handle >> kPageShift;
  // Entering a new page completes the one before.
  if ((handle & (kPageSize - 1)) == 0) FinishPage(number - 1);

  // First what can fail: the page, when this handle opens it, with a
  // direct array (the page being issued into is always direct).
  Page* page = pages_.Find(number);
  if (page == nullptr) {
    struct Freed {
      void operator()(Entry* entries) const { FreeArray(entries); }
    };
    std::unique_ptr<Entry, Freed> entries(NewArray<Entry>(kPageSize));
    page = pages_.Insert(number);
    page->block = reinterpret_cast<uintptr_t>(entries.release()) | kDirect;
  }

  // Then the change, which cannot fail.
  const int position = static_cast<int>(handle & (kPageSize - 1));
  std::construct_at(Entries(*page) + position, Entry{std::move(object), type, 0});
  page->occupied |= uint64_t{1} << position;
  last_issued_ = handle;
  ++live_;

  if (trace_fd >= 0) {
    char digits[kMaxDigits];
    const char* end = std::to_chars(digits, digits + sizeof digits, handle).ptr;
    line.append(digits, static_cast<size_t>(end - digits));
    line += '\n';
    WriteLine(trace_fd, line);
  }
  return handle;
}

void Registry::IncRef(Handle handle) noexcept {
  if (handle <= 0) return;
  std::unique_lock lock(mu_);
  Entry* entry = Find(handle);
  if (entry == nullptr) return;
  const int64_t count = ++entry->count;
  if (trace_fd_ >= 0) {
    WriteLine(trace_fd_,
              (ShortLine() << "tova IncRef: " << handle << ": " << count << "\n").view());
  }
}

void Registry::DecRef(Handle handle) noexcept {
  if (handle <= 0) return;
  // Declared before the lock so that it is destroyed after the lock is
  // released: an object's destructor may be long (a big alphabet) and must
  // not hold up other registry users.
  std::shared_ptr<void> dropped;
  std::unique_lock lock(mu_);
  const Handle number = handle >> kPageShift;
  Page* page = pages_.Find(number);
  const int position = static_cast<int>(handle & (kPageSize - 1));
  const uint64_t bit = uint64_t{1} << position;
  if (page == nullptr || (page->occupied & bit) == 0) return;
  const int index = Direct(*page) ? position : CountBits(page->occupied & (bit - 1));
  Entry* entries = Entries(*page);
  Entry& entry = entries[index];
  if (entry.count == 0) {
    // A let-go of a handle that was never taken up.  The entry stays live at
    // count 0: removing it would pull the object from under whoever does hold
    // the handle.  The breach is reported, never fatal.
    ReportUnpairedDecRef(handle, entry);
    return;
  }
  const int64_t count = --entry.count;
  if (count > 0) {
    if (trace_fd_ >= 0) {
      WriteLine(trace_fd_,
                (ShortLine() << "tova DecRef: " << handle << ": " << count << "\n").view());
    }
    return;
  }

  // Remove the entry; in a packed page, close the gap behind it.
  dropped = std::move(entry.object);
  if (Direct(*page)) {
    std::destroy_at(&entry);
  } else {
    const int live = CountBits(page->occupied);
    std::move(entries + index + 1, entries + live, entries + index);
    std::destroy_at(entries + live - 1);
  }
  page->occupied &= ~bit;
  --live_;
  // The page being issued into keeps its array; a completed one is freed
  // once empty, and shrinks when a quarter full.
  if (Complete(number)) {
    const uint32_t left = CountBits(page->occupied);
    if (left == 0) {
      FreeArray(entries);
      pages_.Erase(number);
    } else if (left * 4 <= Capacity(*page)) {
      Reallocate(*page, 2 * left);
    }
  }
  if (trace_fd_ >= 0) {
    WriteLine(trace_fd_, (ShortLine() << "tova DecRef: " << handle << "\n").view());
  }
}

void Registry::ReportUnpairedDecRef(Handle handle, const Entry& entry) const noexcept {
  try {
    std::string line;
    line.reserve(kBreachPrefix.size() + kMaxDigits + 6 + kMaxShownBytes + 1);
    line += kBreachPrefix;
    line += std::to_string(handle);
    line += ", ifc ";
    entry.type->describe(entry.object.get(), line);
    line += '\n';
    WriteLine(breach_fd_, line);
  } catch (...) {
    // Not even the bounded line could be built: say so without the object.
    WriteLine(breach_fd_,
              (ShortLine() << kBreachPrefix << handle << ", ifc (not rendered)\n").view());
  }
}

int64_t Registry::NumHandles() const {
  std::shared_lock lock(mu_);
  return live_;
}

Registry::Footprint Registry::MemoryFootprint() const {
  std::shared_lock lock(mu_);
  Footprint footprint;
  pages_.ForEach([&](Handle, const Page& page) {
    ++footprint.pages;
    footprint.entry_slots += Capacity(page);
  });
  return footprint;
}

void Registry::WriteLine(int fd, std::string_view line) noexcept {
  // One unbuffered write, so that concurrent lines never interleave; a failed
  // write is ignored.
  [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
}

void Registry::LockForFork() { mu_.lock(); }

void Registry::UnlockInParentAfterFork() { mu_.unlock(); }

void Registry::ResetInChildAfterFork() { mu_.ResetInForkedChild(); }

namespace {

Registry* NewGlobal() {
  Registry* registry = new Registry();
  pthread_atfork([] { Global().LockForFork(); }, [] { Global().UnlockInParentAfterFork(); },
                 [] { Global().ResetInChildAfterFork(); });
  return registry;
}

}  // namespace

Registry& Global() {
  // Never destroyed: objects stay registered until the process ends, and a
  // call on another thread may still arrive during interpreter shutdown.
  static Registry* registry = NewGlobal();
  return *registry;
}

void InitTraceFromEnvironment() {
  const char* value = std::getenv("TOVA_HANDLE_TRACE");
  if (value != nullptr && value[0] != '\0') Global().SetTraceFd(STDOUT_FILENO);
}

}  // namespace handles
