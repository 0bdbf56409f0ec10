// Failures are values: an engine step returns its product or one message.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace tesvo {

// The message of a failed step, kept apart from std::string so that
// Result<std::string> stays unambiguous.
struct Failure {
  std::string message;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <class T> class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T &value() { return std::get<0>(state_); }
  const T &value() const { return std::get<0>(state_); }
  T &operator*() { return value(); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }

  const std::string &error() const { return std::get<1>(state_).message; }
  Failure take_failure() { return std::move(std::get<1>(state_)); }

 private:
  std::variant<T, Failure> state_;
};

// A broken invariant or a backend that breaks its contract. Thrown only for
// faults that no request should survive, and caught only at the Python
// boundary, where the call fails with the panic message and the process goes on.
class EnginePanic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tesvo
