// Results of operations whose failures are validation errors.
//
// An estimator that rejects its input returns a `ValueFailure` (it becomes a
// Python ValueError at the boundary); otherwise it returns its value. Only the
// boundary decides how a failure is raised.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quorvane {

struct ValueFailure {
  std::string message;
};

template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Outcome(ValueFailure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  ValueFailure& failure() & { return std::get<1>(state_); }
  ValueFailure&& failure() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, ValueFailure> state_;
};

}  // namespace quorvane
