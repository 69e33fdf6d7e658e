#include "bindings/registry_functions.h"

#include "bindings/startup.h"
#include "handles/registry.h"

void TovaInit() { bindings::EnsureStarted(); }

void IncRef(int64_t handle) {
  bindings::EnsureStarted();
  handles::Global().IncRef(handle);
}

void DecRef(int64_t handle) {
  bindings::EnsureStarted();
  handles::Global().DecRef(handle);
}

int64_t NumHandles() {
  bindings::EnsureStarted();
  return handles::Global().NumHandles();
}
