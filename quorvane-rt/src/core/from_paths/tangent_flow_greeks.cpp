#include "core/from_paths/tangent_flow_greeks.hpp"

#include <optional>

#include "core/estimators/payoff.hpp"
#include "core/estimators/stats.hpp"
#include "core/estimators/tangent_flow_gamma.hpp"
#include "core/from_paths/constant_flow_greeks.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

constexpr GammaArrayNames kFieldNames = {"dws",
                                         "sigma_field",
                                         "d_mu_dx_field",
                                         "d_sigma_dx_field",
                                         "d2_mu_dx2_field",
                                         "d2_sigma_dx2_field"};

// Weights are computed a group at a time into stack buffers and then accumulated
// strictly in path order, so the sums see exactly the sequence of a one-path-at-
// a-time loop.
constexpr std::size_t kGroup = 256;

}  // namespace

Outcome<TangentFlowGreekEstimate> price_and_greeks_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike) {
  Outcome<TangentFlowGammaInputs> v = validate_tangent_flow_gamma_inputs(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
      d2_sigma_dx2_field, horizon, kFieldNames);
  if (!v.ok()) return std::move(v).failure();
  const std::optional<Payoff> pay = payoff_from_name(payoff, strike);
  if (!pay) return ValueFailure{unknown_payoff_message(payoff)};

  const TangentFlowGammaInputs& in = v.value();
  const std::size_t n_paths = in.flow.n_paths;
  const std::size_t n_steps = in.flow.n_steps;
  const KernelTarget target = active_kernel_target();
  RunningSums payoff_sums, delta_sums, gamma_sums;
  double g[kGroup];
  double w[kGroup];
  InterruptBudget budget;
  for (std::size_t first = 0; first < n_paths; first += kGroup) {
    const std::size_t count = n_paths - first < kGroup ? n_paths - first : kGroup;
    if (std::optional<ZeroSigma> zero =
            tangent_flow_delta_gamma_weights_with(target, in, first, count, g, w))
      return ValueFailure{zero_sigma_message(*zero, "sigma_field")};
    for (std::size_t k = 0; k < count; ++k) {
      const double p = (*pay)(states(first + k, n_steps));
      payoff_sums.add(p);
      delta_sums.add(w[k] * p);
      gamma_sums.add(g[k] * p);
    }
    budget.spend(count * n_steps);
  }
  const MeanStderr p = greek_mean_and_stderr(payoff_sums, n_paths);
  const MeanStderr d = greek_mean_and_stderr(delta_sums, n_paths);
  const MeanStderr gm = greek_mean_and_stderr(gamma_sums, n_paths);
  return TangentFlowGreekEstimate{p.mean, d.mean, gm.mean, p.stderr_, d.stderr_, gm.stderr_};
}

}  // namespace quorvane
