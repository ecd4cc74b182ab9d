#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace trellisant {

// A failure the system raises itself; `message()` is the sentence shown to the user.
class TrellisantError : public std::exception {
 public:
  explicit TrellisantError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Thrown by an operation whose stop token was triggered (or whose task was told to stop).
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "The operation was canceled."; }
};

// A failure of the platform (file system, network, decoding) that keeps its own description.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Builds a PlatformError from errno with the system's own wording.
PlatformError systemError(int error);

// The user-facing text of any failure: a TrellisantError's message, otherwise the
// platform error's own description.
std::string userMessage(const std::exception& error);
std::string userMessage(const std::exception_ptr& error);

}  // namespace trellisant
