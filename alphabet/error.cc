#include "alphabet/error.h"

#include "alphabet/value.h"

namespace alphabet {

std::string Describe(const Error& error) {
  std::string out = "Error{\"";
  AppendShown(out, error.message());
  out += "\"}";
  return out;
}

}  // namespace alphabet
