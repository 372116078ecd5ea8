#include "core/estimates/average_price.hpp"

#include <optional>
#include <string>
#include <utility>

#include "core/kernels/kernels.hpp"
#include "core/payoffs/functionals.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/support/interrupt.hpp"
#include "core/weights/average.hpp"

namespace quorvane {

namespace {

// The pass of both average estimators over the paths, a group of at most Group
// at a time: `paths(first, count, w, a)` gives the weights w and the averages A
// of a group and returns the failure message of a path without a weight or
// nothing; then p = payoff(A) and w * p into the sums, strictly in path order.
// `work_per_path` is what a path costs, for the interrupt polls.
template <std::size_t Group, class Paths>
Outcome<LaneSums<2>> average_payoff_sums(std::size_t n_paths, std::size_t work_per_path,
                                         std::string_view payoff, double strike, Paths&& paths) {
  const std::optional<Payoff> f = payoff_from_name(payoff, strike);
  if (!f) return ValueFailure{unknown_payoff_message(payoff)};
  LaneSums<2> sums;
  double w[Group], a[Group];
  InterruptBudget budget;  // a long call can be interrupted between two groups
  for (std::size_t first = 0; first < n_paths; first += Group) {
    const std::size_t count = n_paths - first < Group ? n_paths - first : Group;
    if (std::optional<std::string> failure = paths(first, count, w, a)) return ValueFailure{std::move(*failure)};
    for (std::size_t k = 0; k < count; ++k) {
      const double p = (*f)(a[k]);
      sums.add({p, w[k] * p});
    }
    budget.spend(count * work_per_path);
  }
  return sums;
}

// Paths per group of the constant-flow pass: whole groups of every target's
// kernel, and small enough that the group's weights and averages stay in L1.
inline constexpr std::size_t kConstantFlowGroup = 256;

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
  const AverageInputs& in = v.value();
  const PathFunctional average = PathFunctional::weighted_average(average_weights);
  // A group is one pass of the fast kernels.
  return average_payoff_sums<detail::kPassPaths>(
      in.flow.n_paths, in.flow.n_steps, payoff, strike,
      [&](std::size_t first, std::size_t count, double* w, double* a) -> std::optional<std::string> {
        if (std::optional<ZeroSigma> failure = tangent_flow_average_weights(in, first, count, w))
          return average_failure_message(in, *failure, "sigma_field", "");
        average.values(states, first, count, a);
        return std::nullopt;
      });
}

Outcome<LaneSums<2>> price_and_delta_average_constant_flow_sums(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx, std::string_view payoff, double strike) {
  Outcome<AverageConstantFlow> v = validate_average_constant_flow(
      monitored_states, w_terminals, monitoring_times, average_weights, horizon, sigma_at_x0, d_sigma_dx);
  if (!v.ok()) return std::move(v).failure();
  const AverageConstantFlow& c = v.value();
  const KernelTarget target = active_kernel_target();
  // One kernel call gives a group's weights and its averages A: A is the
  // weight's first sum, a_0 S_0 then + a_k S_k, the very operations of the
  // weighted-average functional.
  return average_payoff_sums<kConstantFlowGroup>(
      w_terminals.length, monitored_states.cols, payoff, strike,
      [&](std::size_t first, std::size_t count, double* w, double* a) -> std::optional<std::string> {
        c.weights_of(target, first, count, w, a);
        return std::nullopt;
      });
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
