#include "handles/registry.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace handles {

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
}

std::string LookupMessage(LookupStatus status, Handle handle) {
  switch (status) {
    case LookupStatus::kNil:
      return "tova: nil handle";
    case LookupStatus::kNotRegistered:
      return "tova: variable handle not registered: " + std::to_string(handle);
    default:
      return std::string();
  }
}

Registry::Registry(int trace_fd, int breach_fd)
    : trace_fd_(trace_fd), breach_fd_(breach_fd) {}

Registry::Entry* Registry::Find(Handle handle) const {
  auto it = pages_.find(handle >> kPageShift);
  if (it == pages_.end()) return nullptr;
  Entry& entry = it->second->slots[handle & (kPageSize - 1)];
  return entry.object ? &entry : nullptr;
}

void Registry::ReleasePageIfDone(Handle handle) {
  const Handle page = handle >> kPageShift;
  const Handle last_of_page = ((page + 1) << kPageShift) - 1;
  if (last_issued_ < last_of_page) return;  // more registrations will land here
  auto it = pages_.find(page);
  if (it != pages_.end() && it->second->live == 0) pages_.erase(it);
}

Handle Registry::RegisterErased(std::string_view tag, std::shared_ptr<void> object,
                                const ObjectType* type) {
  std::unique_lock lock(mu_);
  const Handle handle = last_issued_ + 1;
  // Entering a new page completes the one before, which may have emptied
  // while it was still waiting for its last handle to be issued.
  if ((handle & (kPageSize - 1)) == 0) ReleasePageIfDone(handle - 1);
  Page* page;
  if (auto it = pages_.find(handle >> kPageShift); it != pages_.end()) {
    page = it->second.get();
  } else {
    auto fresh = std::make_unique<Page>();
    page = fresh.get();
    pages_.emplace(handle >> kPageShift, std::move(fresh));
  }
  // Only now, with nothing left that can fail, is the handle issued.
  last_issued_ = handle;
  Entry& entry = page->slots[handle & (kPageSize - 1)];
  entry = Entry{std::move(object), type, 0};
  ++page->live;
  ++live_;
  if (trace_fd_ >= 0) {
    std::string line = "tova Registered: ";
    line.append(tag);
    line += ' ';
    line += DescribeEntry(entry);
    line += ' ';
    line += std::to_string(handle);
    line += '\n';
    WriteLine(trace_fd_, line);
  }
  return handle;
}

void Registry::IncRef(Handle handle) {
  if (handle <= 0) return;
  std::unique_lock lock(mu_);
  Entry* entry = Find(handle);
  if (entry == nullptr) return;
  const int64_t count = ++entry->count;
  if (trace_fd_ >= 0) {
    WriteLine(trace_fd_, "tova IncRef: " + std::to_string(handle) + ": " +
                             std::to_string(count) + "\n");
  }
}

void Registry::DecRef(Handle handle) {
  if (handle <= 0) return;
  // Declared before the lock so that it is destroyed after the lock is
  // released: an object's destructor may be long (a big alphabet) and must
  // not hold up other registry users.
  std::shared_ptr<void> dropped;
  std::unique_lock lock(mu_);
  Entry* entry = Find(handle);
  if (entry == nullptr) return;
  if (entry->count == 0) {
    // A let-go of a handle that was never taken up.  The entry stays live at
    // count 0: removing it would pull the object from under whoever does hold
    // the handle.  The breach is reported, never fatal.
    WriteLine(breach_fd_, "tova DecRef ref count -1 for handle: " +
                              std::to_string(handle) + ", ifc " +
                              DescribeEntry(*entry) + "\n");
    return;
  }
  const int64_t count = --entry->count;
  if (count > 0) {
    if (trace_fd_ >= 0) {
      WriteLine(trace_fd_, "tova DecRef: " + std::to_string(handle) + ": " +
                               std::to_string(count) + "\n");
    }
    return;
  }
  dropped = std::move(entry->object);
  *entry = Entry{};
  --live_;
  --pages_.find(handle >> kPageShift)->second->live;
  ReleasePageIfDone(handle);
  if (trace_fd_ >= 0) {
    WriteLine(trace_fd_, "tova DecRef: " + std::to_string(handle) + "\n");
  }
}

int64_t Registry::NumHandles() const {
  std::shared_lock lock(mu_);
  return live_;
}

void Registry::WriteLine(int fd, const std::string& line) const {
  // One unbuffered write, so that concurrent lines never interleave; a failed
  // write is ignored.
  [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
}

std::string Registry::DescribeEntry(const Entry& entry) {
  std::string out;
  entry.type->describe(entry.object.get(), out);
  return out;
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
