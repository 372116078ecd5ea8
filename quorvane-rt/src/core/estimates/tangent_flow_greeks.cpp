#include "core/estimates/tangent_flow_greeks.hpp"

#include <array>
#include <optional>
#include <utility>

#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

// Weights are computed a group at a time into stack buffers and then accumulated
// strictly in path order, so the sums see exactly the sequence of a one-path-at-
// a-time loop: per path p = payoff(X_T), then w * p and gamma_weight * p.
constexpr std::size_t kGroup = detail::kPassPaths;

template <class Payoff>
Outcome<LaneSums<3>> greeks_paths(const TangentFlowGammaInputs& in,
                                               const VectorView& terminal, double strike) {
  using X = detail::Stream<false>;
  using W = detail::Stream<true>;
  double g[kGroup];
  double w[kGroup];
  detail::PriceSums<Payoff, false, X, W, 2> sums{X::of(terminal), {W::of(w), W::of(g)}, strike,
                                                 0.0};
  const std::size_t n_paths = in.flow.n_paths;
  const KernelTarget target = active_kernel_target();
  InterruptBudget budget;
  for (std::size_t first = 0; first < n_paths; first += kGroup) {
    const std::size_t count = n_paths - first < kGroup ? n_paths - first : kGroup;
    if (std::optional<ZeroSigma> zero =
            tangent_flow_delta_gamma_weights_with(target, in, first, count, g, w))
      return ValueFailure{zero_sigma_message(*zero, "sigma_field")};
    sums.x = X::of(VectorView{terminal.address(first), count, terminal.stride});
    detail::walk<detail::Sse2Lanes>(sums, 0, count);
    budget.spend(count * in.flow.n_steps);
  }
  return sums.sums.sums(n_paths);
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
    return greeks_paths<decltype(row)>(in.paths, in.terminal, strike);
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
  const std::array<MeanStderr, 3> e = lane_estimates(sums.value(), UndefinedStderr::nan);
  return TangentFlowGreekEstimate{e[0].mean,    e[1].mean,    e[2].mean,
                                  e[0].stderr_, e[1].stderr_, e[2].stderr_};
}

}  // namespace quorvane
