#pragma once

// The pass of the tangent-flow fused estimators over their paths: the per-path
// weights a group at a time, then p = payoff(X_T) and each weight times p into the
// lane sums, strictly in path order, so that the sums see exactly the sequence of
// a one-path-at-a-time loop.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"
#include "core/weights/tangent_flow.hpp"

namespace quorvane::detail {

// A group is one pass of the fast kernels.
inline constexpr std::size_t kWeightGroup = kPassPaths;

// Per group, `weights(first, count, at)` points at[0 .. M) at the group's weights
// (the delta's, then the gamma's) and returns the first zero sigma it met; that
// ends the pass with "sigma_field[i, j] = 0 produces division by zero" and
// `zero_suffix`. `work_per_path` is what a path costs `weights`, for the interrupt
// polls. Lanes: the payoff, then one per weight.
template <class Payoff, std::size_t M, class Weights>
Outcome<LaneSums<1 + M>> weighted_payoff_paths(std::size_t n_paths, std::size_t work_per_path,
                                               const VectorView& terminal, double strike,
                                               std::string_view zero_suffix, Weights&& weights) {
  using X = Stream<false>;
  using W = Stream<true>;
  PriceSums<Payoff, false, X, W, M> sums{X::of(terminal), {}, strike, 0.0};
  InterruptBudget budget;  // a long call can be interrupted between two groups
  for (std::size_t first = 0; first < n_paths; first += kWeightGroup) {
    const std::size_t count = n_paths - first < kWeightGroup ? n_paths - first : kWeightGroup;
    std::array<const double*, M> at{};
    if (std::optional<ZeroSigma> zero = weights(first, count, at))
      return ValueFailure{zero_sigma_message(*zero, "sigma_field", zero_suffix)};
    for (std::size_t m = 0; m < M; ++m) sums.w[m] = W::of(at[m]);
    sums.x = X::of(VectorView{terminal.address(first), count, terminal.stride});
    walk<Sse2Lanes>(sums, 0, count);
    budget.spend(count * work_per_path);
  }
  return sums.sums.sums(n_paths);
}

// The same pass over weights already computed for every path (by the parallel
// forms): all[m] holds the m-th weight of each path, in the pass's order.
template <std::size_t M>
Outcome<LaneSums<1 + M>> stored_weight_paths(PayoffKind payoff, std::size_t n_paths,
                                             const VectorView& terminal, double strike,
                                             const std::array<const double*, M>& all) {
  return with_payoff(payoff, [&](auto row) {
    return weighted_payoff_paths<decltype(row), M>(
        n_paths, 1, terminal, strike, "",
        [&](std::size_t first, std::size_t,
            std::array<const double*, M>& at) -> std::optional<ZeroSigma> {
          for (std::size_t m = 0; m < M; ++m) at[m] = all[m] + first;
          return std::nullopt;
        });
  });
}

}  // namespace quorvane::detail
