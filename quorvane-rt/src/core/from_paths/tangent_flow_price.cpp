#include "core/from_paths/tangent_flow_price.hpp"

#include <optional>
#include <string>

#include "core/estimators/payoff.hpp"
#include "core/estimators/tangent_flow.hpp"
#include "core/support/failure.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

std::string field_zero_sigma_message(std::size_t path, std::size_t step) {
  std::string s = "sigma_field[";
  s += std::to_string(path);
  s += ", ";
  s += std::to_string(step);
  s += "] = 0 produces division by zero";
  return s;
}

bool covers(const MatrixView& m, std::size_t n_paths, std::size_t n_steps) noexcept {
  return m.rows >= n_paths && m.cols >= n_steps;
}

// Weights are computed a group at a time into a stack buffer and then accumulated
// strictly in path order, so the sums see exactly the sequence of the one-path-at-a-
// time loop.
constexpr std::size_t kGroup = 256;

}  // namespace

Outcome<Estimate> price_and_delta_tangent_flow(const MatrixView& states, const MatrixView& dws,
                                               const MatrixView& sigma_field,
                                               const MatrixView& d_mu_dx_field,
                                               const MatrixView& d_sigma_dx_field, double horizon,
                                               std::string_view payoff, double strike) {
  // Written as a negated strict comparison so that NaN is rejected; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (states.cols < 2) return ValueFailure{"states must have at least 2 columns (n_steps + 1)"};
  const std::size_t n_paths = states.rows;
  const std::size_t n_steps = states.cols - 1;
  if (n_paths > 0 && !covers(dws, n_paths, n_steps)) fail(kIndexOutOfBounds);
  const std::optional<Payoff> pay = payoff_from_name(payoff, strike);
  if (!pay) return ValueFailure{"unknown payoff '" + std::string(payoff) + "'"};

  const TangentFlowInputs in = make_tangent_flow_inputs(dws, sigma_field, d_mu_dx_field,
                                                        d_sigma_dx_field, n_paths, n_steps, horizon);

  RunningSums payoff_sums, delta_sums;
  const auto accumulate = [&](std::size_t i, double w) {
    const double p = (*pay)(states(i, n_steps));
    const double d = w * p;
    payoff_sums.add(p);
    delta_sums.add(d);
  };

  const bool fields_cover = covers(sigma_field, n_paths, n_steps) &&
                            covers(d_mu_dx_field, n_paths, n_steps) &&
                            covers(d_sigma_dx_field, n_paths, n_steps);
  InterruptBudget budget;  // a long call can be interrupted between two groups
  if (fields_cover) {
    double w[kGroup];
    for (std::size_t first = 0; first < n_paths; first += kGroup) {
      const std::size_t count = n_paths - first < kGroup ? n_paths - first : kGroup;
      if (std::optional<ZeroSigma> zero = tangent_flow_weights(in, first, count, w))
        return ValueFailure{field_zero_sigma_message(zero->path, zero->step)};
      for (std::size_t k = 0; k < count; ++k) accumulate(first + k, w[k]);
      budget.spend(count * n_steps);
    }
  } else {
    // Some field lacks an element that the row-major scan will need, so this ends
    // in an error; the checked scalar recursion reports exactly the one met first
    // (a zero sigma, or the missing element).
    for (std::size_t i = 0; i < n_paths; ++i) {
      const PathWeight w = tangent_flow_path_weight_checked(in, i);
      if (!w.ok()) return ValueFailure{field_zero_sigma_message(i, *w.zero_sigma_step)};
      accumulate(i, w.weight);
      budget.spend(n_steps);
    }
  }
  return make_estimate(payoff_sums, delta_sums, n_paths);
}

}  // namespace quorvane
