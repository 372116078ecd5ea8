// A value or the error that ends the operation.
//
// The one result type of both sides: the core's estimators return
// `Outcome<T>` (a validation failure, raised as ValueError by the boundary),
// the boundary's operations return `Fallible<T>` (an error that becomes the
// call's Python exception).
#pragma once

#include <utility>
#include <variant>

namespace quorvane {

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  E& error() & { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }
  const E& error() const& { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace quorvane
