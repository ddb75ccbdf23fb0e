// Failures of the core are values: a Result holds either the value or the failure.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace pelnor {

// What kind of failure: the binding raises one exception class per kind.
enum class ErrorKind : std::uint8_t {
  kData,      // no encoding can be built: an unknown name, unreadable or malformed data
  kArgument,  // a value the call cannot take: a pattern, bytes that strict decoding refuses
  kDisallowedSpecial,  // a text holding a special string the call's policy disallows
};

// A failure, with its message as the caller will show it.
struct Error {
  ErrorKind kind;
  std::string message;
  // What the failure is about, for callers that word it themselves: the special string.
  std::string subject = {};
};

template <class T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const Error& failure() const { return std::get<1>(state_); }
  const std::string& error() const { return failure().message; }

 private:
  std::variant<T, Error> state_;
};

// A violated internal invariant: never the result of any input. The binding reports it as an
// internal error instead of ending the process.
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace pelnor
