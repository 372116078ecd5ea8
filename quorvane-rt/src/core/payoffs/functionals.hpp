// Path functionals as data: the value of a path that a fused estimator applies
// its payoff to, computed from the path's row of `states` in the same pass as
// its weight. One row per functional (x_k the path's value at column k, N + 1
// columns):
//
//   terminal          x_N                                  (the payoffs of X_T)
//   weighted_average  A = a_0 x_0, then A = A + (a_k x_k) for k = 1 .. N
//                     (the payoffs of A, with the average's weights a)
//   maximum           m = x_0, then m = x_k where x_k > m, k = 1 .. N
//   minimum           m = x_0, then m = x_k where x_k < m, k = 1 .. N
//                     (lookbacks and barriers; a NaN x_k after column 0
//                     never compares, so it is passed over)
//
// each product and sum rounded in exactly that order, the columns in
// increasing order.
#pragma once

#include <cstddef>

#include "core/views/views.hpp"

namespace quorvane {

enum class FunctionalKind { terminal, weighted_average, maximum, minimum };

struct PathFunctional {
  FunctionalKind kind = FunctionalKind::terminal;
  VectorView weights;  // weighted_average: one weight per column of `states`

  static PathFunctional terminal() noexcept { return {}; }
  static PathFunctional weighted_average(const VectorView& a) noexcept {
    return {FunctionalKind::weighted_average, a};
  }
  static PathFunctional maximum() noexcept { return {FunctionalKind::maximum, {}}; }
  static PathFunctional minimum() noexcept { return {FunctionalKind::minimum, {}}; }

  // The functional of path i (states has at least one column, and as many
  // as `weights` for the weighted average).
  double operator()(const MatrixView& states, std::size_t i) const noexcept {
    const std::size_t n = states.cols;
    switch (kind) {
      case FunctionalKind::terminal:
        return states(i, n - 1);
      case FunctionalKind::weighted_average: {
        double a = weights[0] * states(i, 0);
        for (std::size_t k = 1; k < n; ++k) a = a + weights[k] * states(i, k);
        return a;
      }
      case FunctionalKind::maximum: {
        double m = states(i, 0);
        for (std::size_t k = 1; k < n; ++k) m = states(i, k) > m ? states(i, k) : m;
        return m;
      }
      case FunctionalKind::minimum: {
        double m = states(i, 0);
        for (std::size_t k = 1; k < n; ++k) m = states(i, k) < m ? states(i, k) : m;
        return m;
      }
    }
    return states(i, n - 1);
  }

  // Paths [first, first + count) into out[0 .. count).
  void values(const MatrixView& states, std::size_t first, std::size_t count, double* out) const noexcept {
    for (std::size_t k = 0; k < count; ++k) out[k] = (*this)(states, first + k);
  }
};

}  // namespace quorvane
