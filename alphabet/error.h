// Error: the record of one failed Encode or Decode, carrying its message.
//
// An error is made whole and never changes, so any number of threads may
// read it at once.  It is shared, not copied: the handle registry and any
// caller may hold the same error through an ErrorPtr, and it lives as long as
// one of them does.  Each failure makes a new one.
#ifndef ALPHABET_ALPHABET_ERROR_H_
#define ALPHABET_ALPHABET_ERROR_H_

#include <memory>
#include <string>

namespace alphabet {

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;

  const std::string& message() const { return message_; }

 private:
  const std::string message_;
};

using ErrorPtr = std::shared_ptr<const Error>;

// One-line rendering for trace output; the message is shown unescaped and
// cut (AppendShown).
std::string Describe(const Error& error);

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_ERROR_H_
