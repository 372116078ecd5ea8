#include "core/estimates/average_price.hpp"

#include <optional>
#include <utility>

#include "core/kernels/kernels.hpp"
#include "core/payoffs/functionals.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/support/interrupt.hpp"
#include "core/weights/average.hpp"

namespace quorvane {

namespace {

// Weights and averages a pass of the fast kernels at a time, then the samples
// strictly in path order.
constexpr std::size_t kGroup = detail::kPassPaths;

}  // namespace

Outcome<LaneSums<2>> price_and_delta_average_tangent_flow_sums(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    const VectorView& average_weights, std::string_view payoff, double strike) {
  Outcome<AverageInputs> v =
      validate_average_inputs(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
                              d2_sigma_dx2_field, horizon, average_weights, kGammaFieldNames);
  if (!v.ok()) return std::move(v).failure();
  const std::optional<Payoff> f = payoff_from_name(payoff, strike);
  if (!f) return ValueFailure{unknown_payoff_message(payoff)};
  const AverageInputs& in = v.value();
  const PathFunctional average = PathFunctional::weighted_average(average_weights);
  LaneSums<2> sums;
  double w[kGroup], a[kGroup];
  InterruptBudget budget;  // a long call can be interrupted between two groups
  for (std::size_t first = 0; first < in.flow.n_paths; first += kGroup) {
    const std::size_t count = in.flow.n_paths - first < kGroup ? in.flow.n_paths - first : kGroup;
    if (std::optional<ZeroSigma> failure = tangent_flow_average_weights(in, first, count, w))
      return ValueFailure{average_failure_message(in, *failure, "sigma_field", "")};
    average.values(states, first, count, a);
    for (std::size_t k = 0; k < count; ++k) {
      const double p = (*f)(a[k]);
      sums.add({p, w[k] * p});
    }
    budget.spend(count * in.flow.n_steps);
  }
  return sums;
}

Outcome<LaneSums<2>> price_and_delta_average_constant_flow_sums(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx, std::string_view payoff, double strike) {
  Outcome<AverageConstantFlow> v = validate_average_constant_flow(
      monitored_states, w_terminals, monitoring_times, average_weights, horizon, sigma_at_x0, d_sigma_dx);
  if (!v.ok()) return std::move(v).failure();
  const std::optional<Payoff> f = payoff_from_name(payoff, strike);
  if (!f) return ValueFailure{unknown_payoff_message(payoff)};
  const AverageConstantFlow& c = v.value();
  const PathFunctional average = PathFunctional::weighted_average(average_weights);
  LaneSums<2> sums;
  InterruptBudget budget;
  constexpr std::size_t kLanes = AverageConstantFlow::kLanes;
  double w[kLanes];
  // The weights a group of paths at a time (each with weight(i)'s bits), then the
  // samples strictly in path order.
  for (std::size_t first = 0; first < w_terminals.length; first += kLanes) {
    const std::size_t count = w_terminals.length - first < kLanes ? w_terminals.length - first : kLanes;
    c.weights_of(first, count, w);
    for (std::size_t k = 0; k < count; ++k) {
      const double p = (*f)(average(monitored_states, first + k));
      sums.add({p, w[k] * p});
    }
    budget.spend(count * monitored_states.cols);
  }
  return sums;
}

Outcome<Estimate> price_and_delta_average_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    const VectorView& average_weights, std::string_view payoff, double strike) {
  Outcome<LaneSums<2>> sums = price_and_delta_average_tangent_flow_sums(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field, d2_sigma_dx2_field,
      horizon, average_weights, payoff, strike);
  if (!sums.ok()) return std::move(sums).failure();
  return price_and_delta_estimate(sums.value());
}

Outcome<Estimate> price_and_delta_average_constant_flow(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx, std::string_view payoff, double strike) {
  Outcome<LaneSums<2>> sums = price_and_delta_average_constant_flow_sums(
      monitored_states, w_terminals, monitoring_times, average_weights, horizon, sigma_at_x0, d_sigma_dx,
      payoff, strike);
  if (!sums.ok()) return std::move(sums).failure();
  return price_and_delta_estimate(sums.value());
}

}  // namespace quorvane
