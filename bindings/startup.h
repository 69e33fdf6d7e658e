// The library's load-time start-up: the registry's trace switch and the
// standard alphabets.  It runs while the shared object is loaded; every flat
// function calls EnsureStarted() before its body, so no call ever sees it
// unfinished.  After start-up the check is one acquire load.
#ifndef ALPHABET_BINDINGS_STARTUP_H_
#define ALPHABET_BINDINGS_STARTUP_H_

#include <atomic>

namespace bindings {

namespace internal {
extern std::atomic<bool> started;
void RunStartup();
}  // namespace internal

// Returns once start-up has finished, running it on this thread or waiting
// for the thread that runs it if it has not.
inline void EnsureStarted() {
  if (!internal::started.load(std::memory_order_acquire)) [[unlikely]] {
    internal::RunStartup();
  }
}

}  // namespace bindings

#endif  // ALPHABET_BINDINGS_STARTUP_H_
