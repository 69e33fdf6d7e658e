#include "bindings/text.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace bindings {

char* CString(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) {
    static constexpr char kMessage[] = "runtime: C malloc failed\n";
    [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    std::abort();
  }
  // An empty view may have a null data(), which memcpy must not be given
  // even for zero bytes.
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

char* errorToCString(const alphabet::Error* error) {
  return CString(error == nullptr ? std::string_view() : std::string_view(error->message()));
}

}  // namespace bindings
