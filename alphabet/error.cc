#include "alphabet/error.h"

namespace alphabet {

std::string Describe(const Error& error) {
  std::string out = "Error{\"";
  out += error.message();
  out += "\"}";
  return out;
}

}  // namespace alphabet
