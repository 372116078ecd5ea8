#include "core/estimates/tangent_flow_greeks.hpp"

#include <array>
#include <optional>
#include <utility>

#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

// Weights are computed a group at a time into stack buffers and then accumulated
// strictly in path order, so the sums see exactly the sequence of a one-path-at-
// a-time loop: per path p = payoff(X_T), then w * p and gamma_weight * p.
constexpr std::size_t kGroup = detail::kPassPaths;

// The pass over the paths for one payoff kind: per group the weights from
// `weights(first, count, g, w)`, which points g and w at the group's gamma and
// delta weights and returns the first zero sigma it met, then the samples into
// the sums. `work_per_path` is what a path costs `weights`, for the interrupt
// polls.
template <class Payoff, class Weights>
Outcome<LaneSums<3>> greeks_paths(std::size_t n_paths, std::size_t work_per_path,
                                  const VectorView& terminal, double strike, Weights&& weights) {
  using X = detail::Stream<false>;
  using W = detail::Stream<true>;
  detail::PriceSums<Payoff, false, X, W, 2> sums{X::of(terminal), {}, strike, 0.0};
  InterruptBudget budget;
  for (std::size_t first = 0; first < n_paths; first += kGroup) {
    const std::size_t count = n_paths - first < kGroup ? n_paths - first : kGroup;
    const double* g = nullptr;
    const double* w = nullptr;
    if (std::optional<ZeroSigma> zero = weights(first, count, g, w))
      return ValueFailure{zero_sigma_message(*zero, "sigma_field")};
    sums.w[0] = W::of(w);
    sums.w[1] = W::of(g);
    sums.x = X::of(VectorView{terminal.address(first), count, terminal.stride});
    detail::walk<detail::Sse2Lanes>(sums, 0, count);
    budget.spend(count * work_per_path);
  }
  return sums.sums.sums(n_paths);
}

// The serial pass: the weights of each group into stack buffers as it is summed.
template <class Payoff>
Outcome<LaneSums<3>> serial_greeks_paths(const TangentFlowGammaInputs& in,
                                         const VectorView& terminal, double strike) {
  double g[kGroup];
  double w[kGroup];
  const KernelTarget target = active_kernel_target();
  return greeks_paths<Payoff>(in.flow.n_paths, in.flow.n_steps, terminal, strike,
                              [&](std::size_t first, std::size_t count, const double*& g_at,
                                  const double*& w_at) {
                                g_at = g;
                                w_at = w;
                                return tangent_flow_delta_gamma_weights_with(target, in, first,
                                                                             count, g, w);
                              });
}

TangentFlowGreekEstimate greeks_estimate(const LaneSums<3>& sums) noexcept {
  const std::array<MeanStderr, 3> e = lane_estimates(sums, UndefinedStderr::nan);
  return TangentFlowGreekEstimate{e[0].mean,    e[1].mean,    e[2].mean,
                                  e[0].stderr_, e[1].stderr_, e[2].stderr_};
}

}  // namespace

Outcome<TangentFlowGreeksInputs> validate_tangent_flow_greeks_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff) {
  Outcome<TangentFlowGammaInputs> v = validate_tangent_flow_gamma_inputs(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
      d2_sigma_dx2_field, horizon, kGammaFieldNames);
  if (!v.ok()) return std::move(v).failure();
  const std::optional<PayoffKind> kind = payoff_kind_from_name(payoff);
  if (!kind) return ValueFailure{unknown_payoff_message(payoff)};
  const VectorView terminal = states.column(v.value().flow.n_steps);
  return TangentFlowGreeksInputs{v.value(), terminal, *kind};
}

Outcome<LaneSums<3>> price_and_greeks_tangent_flow_sums(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike) {
  Outcome<TangentFlowGreeksInputs> v = validate_tangent_flow_greeks_inputs(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
      d2_sigma_dx2_field, horizon, payoff);
  if (!v.ok()) return std::move(v).failure();
  const TangentFlowGreeksInputs& in = v.value();
  return detail::with_payoff(in.payoff, [&](auto row) {
    return serial_greeks_paths<decltype(row)>(in.paths, in.terminal, strike);
  });
}

Outcome<TangentFlowGreekEstimate> price_and_greeks_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike) {
  Outcome<LaneSums<3>> sums = price_and_greeks_tangent_flow_sums(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
      d2_sigma_dx2_field, horizon, payoff, strike);
  if (!sums.ok()) return std::move(sums).failure();
  return greeks_estimate(sums.value());
}

Outcome<TangentFlowGreeksCallInputs> validate_price_and_greeks_tangent_flow_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike) {
  Outcome<TangentFlowGreeksInputs> v = validate_tangent_flow_greeks_inputs(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
      d2_sigma_dx2_field, horizon, payoff);
  if (!v.ok()) return std::move(v).failure();
  return TangentFlowGreeksCallInputs{{v.value()}, strike};
}

Outcome<LaneSums<3>> price_and_greeks_tangent_flow_parallel_sums(
    const TangentFlowGreeksCallInputs& inputs) {
  const TangentFlowGammaInputs& in = inputs.paths;
  const KernelTarget target = active_kernel_target();
  std::array<DoubleBuffer, 2> weights;  // gamma, delta
  if (std::optional<ZeroSigma> zero = path_outputs_parallel(
          weights, in.flow.n_paths, in.flow.n_steps,
          [&](std::size_t first, std::size_t count, const std::array<double*, 2>& at) {
            return tangent_flow_delta_gamma_weights_with(target, in, first, count, at[0], at[1]);
          }))
    return ValueFailure{zero_sigma_message(*zero, "sigma_field")};
  const double* gamma = weights[0].data();
  const double* delta = weights[1].data();
  return detail::with_payoff(inputs.payoff, [&](auto row) {
    return greeks_paths<decltype(row)>(
        in.flow.n_paths, 1, inputs.terminal, inputs.strike,
        [&](std::size_t first, std::size_t, const double*& g_at,
            const double*& w_at) -> std::optional<ZeroSigma> {
          g_at = gamma + first;
          w_at = delta + first;
          return std::nullopt;
        });
  });
}

Outcome<TangentFlowGreekEstimate> price_and_greeks_tangent_flow_parallel(
    const TangentFlowGreeksCallInputs& inputs) {
  Outcome<LaneSums<3>> sums = price_and_greeks_tangent_flow_parallel_sums(inputs);
  if (!sums.ok()) return std::move(sums).failure();
  return greeks_estimate(sums.value());
}

}  // namespace quorvane
