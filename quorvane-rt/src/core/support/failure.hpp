// Internal failures of the native code.
//
// An internal failure is an abrupt stop: `fail` writes a one-line diagnostic to
// standard error and throws `InternalFailure`, which unwinds (releasing what each
// frame owns) to the call guard of the module, where it becomes the Python
// exception `PanicException`. Validation problems are *not* internal failures:
// they travel as values (see outcome.hpp). This header is free of Python so the
// numeric core and the pool can use it.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace quorvane {

class InternalFailure final : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes one line to standard error, then throws InternalFailure(message):
//   quorvane: internal error at <file>:<line>: <message>
// on the process's main thread (where the interpreter runs), and
//   quorvane: internal error at <file>:<line> (thread <id>): <message>
// on any other thread, <id> being the kernel's thread id. <file> is the path from
// the source root (src/...), and a line break in the message is written as a space.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// The message every out-of-range element access reports.
inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";

}  // namespace quorvane
