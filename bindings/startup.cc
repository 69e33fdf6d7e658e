#include "bindings/startup.h"

#include <mutex>

#include "alphabet/standard.h"
#include "handles/registry.h"

namespace bindings {
namespace internal {

std::atomic<bool> started{false};

void RunStartup() {
  // call_once makes a caller that arrives during start-up wait for it (a
  // mutex and condition variable inside), and one that arrives before the
  // load-time hook runs do it itself.
  static std::once_flag once;
  std::call_once(once, [] {
    handles::InitTraceFromEnvironment();
    alphabet::InitStandardAlphabets();
    started.store(true, std::memory_order_release);
  });
}

namespace {
// Runs while the shared object is loaded, before CPython calls PyInit__alphabet.
[[gnu::constructor]] void StartAtLoad() { RunStartup(); }
}  // namespace

}  // namespace internal
}  // namespace bindings
