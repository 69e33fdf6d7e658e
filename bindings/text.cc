#include "bindings/text.h"

#include <cstdlib>
#include <cstring>

namespace bindings {

char* CString(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  // An empty view may have a null data(), which memcpy must not be given
  // even for zero bytes.
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

char* ErrorToCString(const alphabet::Error* error) {
  return CString(error == nullptr ? std::string_view() : std::string_view(error->message()));
}

}  // namespace bindings
