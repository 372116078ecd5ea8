// Results of operations whose failures are validation errors.
//
// An estimator that rejects its input returns a `ValueFailure` (it becomes a
// Python ValueError at the boundary); otherwise it returns its value. Only the
// boundary decides how a failure is raised.
#pragma once

#include <string>

#include "core/support/result.hpp"

namespace quorvane {

struct ValueFailure {
  std::string message;
};

template <class T>
class [[nodiscard]] Outcome : public Result<T, ValueFailure> {
 public:
  using Result<T, ValueFailure>::Result;
  // The validation failure (an alias of error(), the name the estimators use).
  ValueFailure& failure() & { return this->error(); }
  ValueFailure&& failure() && { return std::move(*this).error(); }
  const ValueFailure& failure() const& { return this->error(); }
};

}  // namespace quorvane
