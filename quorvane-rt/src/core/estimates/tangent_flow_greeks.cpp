#include "core/estimates/tangent_flow_greeks.hpp"

#include <array>
#include <optional>
#include <utility>

#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/estimates/weighted_payoff_paths.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

// The serial pass: the weights of each group into stack buffers as it is summed.
template <class Payoff>
Outcome<LaneSums<3>> serial_greeks_paths(const TangentFlowGammaInputs& in,
                                         const VectorView& terminal, double strike) {
  double g[detail::kWeightGroup];
  double w[detail::kWeightGroup];
  const KernelTarget target = active_kernel_target();
  return detail::weighted_payoff_paths<Payoff, 2>(
      in.flow.n_paths, in.flow.n_steps, terminal, strike, " in BEL weight",
      [&](std::size_t first, std::size_t count, std::array<const double*, 2>& at) {
        at = {w, g};  // the delta's weights, then the gamma's
        return tangent_flow_delta_gamma_weights_with(target, in, first, count, g, w);
      });
}

// The statistics rule on a pass's sums, or the pass's failure.
Outcome<TangentFlowGreekEstimate> greeks_estimate(Outcome<LaneSums<3>>&& sums) {
  if (!sums.ok()) return std::move(sums).failure();
  const std::array<MeanStderr, 3> e = lane_estimates(sums.value(), UndefinedStderr::nan);
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

Outcome<LaneSums<3>> price_and_greeks_tangent_flow_sums(const TangentFlowGreeksCallInputs& in) {
  return detail::with_payoff(in.payoff, [&](auto row) {
    return serial_greeks_paths<decltype(row)>(in.paths, in.terminal, in.strike);
  });
}

Outcome<TangentFlowGreekEstimate> price_and_greeks_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike) {
  Outcome<TangentFlowGreeksCallInputs> checked = with_strike(
      validate_tangent_flow_greeks_inputs(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field,
                                          d2_mu_dx2_field, d2_sigma_dx2_field, horizon, payoff),
      strike);
  if (!checked.ok()) return std::move(checked).failure();
  return greeks_estimate(price_and_greeks_tangent_flow_sums(checked.value()));
}

Outcome<TangentFlowGreeksCallInputs> with_strike(Outcome<TangentFlowGreeksInputs>&& checked,
                                                 double strike) {
  if (!checked.ok()) return std::move(checked).failure();
  return TangentFlowGreeksCallInputs{{checked.value()}, strike};
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
  return detail::stored_weight_paths<2>(inputs.payoff, in.flow.n_paths, inputs.terminal, inputs.strike,
                                        {weights[1].data(), weights[0].data()});
}

Outcome<TangentFlowGreekEstimate> price_and_greeks_tangent_flow_parallel(
    const TangentFlowGreeksCallInputs& inputs) {
  return greeks_estimate(price_and_greeks_tangent_flow_parallel_sums(inputs));
}

}  // namespace quorvane
