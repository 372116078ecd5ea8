#include "core/estimates/tangent_flow_price.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "core/payoffs/payoffs.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/kernels/streams.hpp"
#include "core/support/failure.hpp"
#include "core/kernels/kernels.hpp"
#include "core/estimates/weighted_payoff_paths.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

bool covers(const MatrixView& m, std::size_t n_paths, std::size_t n_steps) noexcept {
  return m.rows >= n_paths && m.cols >= n_steps;
}

// The serial pass: the weights of each group into a stack buffer as it is
// summed, by the fast kernels, or by the checked scalar recursion when some
// field may lack an element the row-major scan needs (the call then ends in the
// error met first, a zero sigma or the missing element).
template <class Payoff>
Outcome<LaneSums<2>> serial_price_paths(const TangentFlowInputs& in, const VectorView& terminal,
                                        double strike, bool checked) {
  double w[detail::kWeightGroup];
  return detail::weighted_payoff_paths<Payoff, 1>(
      in.n_paths, in.n_steps, terminal, strike, "",
      [&](std::size_t first, std::size_t count,
          std::array<const double*, 1>& at) -> std::optional<ZeroSigma> {
        at[0] = w;
        if (!checked) return tangent_flow_weights(in, first, count, w);
        for (std::size_t k = 0; k < count; ++k) {
          const PathWeight pw = tangent_flow_path_weight_checked(in, first + k);
          if (!pw.ok()) return ZeroSigma{first + k, *pw.zero_sigma_step};
          w[k] = pw.weight;
        }
        return std::nullopt;
      });
}

}  // namespace

Outcome<LaneSums<2>> price_and_delta_tangent_flow_sums(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field, double horizon,
    std::string_view payoff, double strike) {
  // The arrays are not held to the exact shape here: whatever covers the paths is read.
  Outcome<PathGrid> grid = check_path_batch(states, horizon, {});
  if (!grid.ok()) return std::move(grid).failure();
  const std::size_t n_paths = grid.value().n_paths;
  const std::size_t n_steps = grid.value().n_steps;
  if (n_paths > 0 && !covers(dws, n_paths, n_steps)) fail(kIndexOutOfBounds);
  const std::optional<PayoffKind> kind = payoff_kind_from_name(payoff);
  if (!kind) return ValueFailure{unknown_payoff_message(payoff, false)};

  const TangentFlowInputs in = make_tangent_flow_inputs(dws, sigma_field, d_mu_dx_field,
                                                        d_sigma_dx_field, n_paths, n_steps, horizon);
  const bool fields_cover = covers(sigma_field, n_paths, n_steps) &&
                            covers(d_mu_dx_field, n_paths, n_steps) &&
                            covers(d_sigma_dx_field, n_paths, n_steps);
  const VectorView terminal = states.column(n_steps);
  return detail::with_payoff(*kind, [&](auto row) {
    return serial_price_paths<decltype(row)>(in, terminal, strike, !fields_cover);
  });
}

Outcome<Estimate> price_and_delta_tangent_flow(const MatrixView& states, const MatrixView& dws,
                                               const MatrixView& sigma_field,
                                               const MatrixView& d_mu_dx_field,
                                               const MatrixView& d_sigma_dx_field, double horizon,
                                               std::string_view payoff, double strike) {
  Outcome<LaneSums<2>> sums = price_and_delta_tangent_flow_sums(
      states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon, payoff, strike);
  if (!sums.ok()) return std::move(sums).failure();
  return price_and_delta_estimate(sums.value());
}

Outcome<TangentFlowPriceInputs> validate_price_and_delta_tangent_flow_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field, double horizon,
    std::string_view payoff, double strike) {
  Outcome<PathGrid> grid = check_path_batch(states, horizon,
                                            {{"dws", dws},
                                             {"sigma_field", sigma_field},
                                             {"d_mu_dx_field", d_mu_dx_field},
                                             {"d_sigma_dx_field", d_sigma_dx_field}});
  if (!grid.ok()) return std::move(grid).failure();
  const std::size_t n_paths = grid.value().n_paths;
  const std::size_t n_steps = grid.value().n_steps;
  const std::optional<PayoffKind> kind = payoff_kind_from_name(payoff);
  if (!kind) return ValueFailure{unknown_payoff_message(payoff, false)};
  return TangentFlowPriceInputs{{make_tangent_flow_inputs(dws, sigma_field, d_mu_dx_field, d_sigma_dx_field,
                                                          n_paths, n_steps, horizon),
                                 states.column(n_steps), *kind},
                                strike};
}

Outcome<LaneSums<2>> price_and_delta_tangent_flow_parallel_sums(
    const TangentFlowPriceInputs& inputs) {
  const TangentFlowInputs& in = inputs.paths;
  std::array<DoubleBuffer, 1> weights;
  if (std::optional<ZeroSigma> zero = path_outputs_parallel(
          weights, in.n_paths, in.n_steps,
          [&](std::size_t first, std::size_t count, const std::array<double*, 1>& at) {
            return tangent_flow_weights(in, first, count, at[0]);
          }))
    return ValueFailure{zero_sigma_message(*zero, "sigma_field", "")};
  return detail::stored_weight_paths<1>(inputs.payoff, in.n_paths, inputs.terminal, inputs.strike,
                                        {weights[0].data()});
}

Outcome<Estimate> price_and_delta_tangent_flow_parallel(const TangentFlowPriceInputs& inputs) {
  Outcome<LaneSums<2>> sums = price_and_delta_tangent_flow_parallel_sums(inputs);
  if (!sums.ok()) return std::move(sums).failure();
  return price_and_delta_estimate(sums.value());
}

}  // namespace quorvane
