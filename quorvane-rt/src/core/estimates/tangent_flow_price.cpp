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
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

bool covers(const MatrixView& m, std::size_t n_paths, std::size_t n_steps) noexcept {
  return m.rows >= n_paths && m.cols >= n_steps;
}

// Weights are computed a group at a time into a stack buffer and then accumulated
// strictly in path order, so the sums see exactly the sequence of the one-path-at-a-
// time loop. A group is one pass of the fast kernels.
constexpr std::size_t kGroup = detail::kPassPaths;

// The pass over the paths for one payoff kind: per group the weights from
// `weights(first, count, w)`, which points `w` at the group's weights and returns
// the first zero sigma it met, then p = payoff(X_T), d = w * p into the sums.
// `work_per_path` is what a path costs `weights`, for the interrupt polls.
template <class Payoff, class Weights>
Outcome<LaneSums<2>> price_paths(std::size_t n_paths, std::size_t work_per_path,
                                 const VectorView& terminal, double strike, Weights&& weights) {
  using X = detail::Stream<false>;
  using W = detail::Stream<true>;
  detail::PriceSums<Payoff, false, X, W> sums{X::of(terminal), {}, strike, 0.0};
  InterruptBudget budget;  // a long call can be interrupted between two groups
  for (std::size_t first = 0; first < n_paths; first += kGroup) {
    const std::size_t count = n_paths - first < kGroup ? n_paths - first : kGroup;
    const double* w = nullptr;
    if (std::optional<ZeroSigma> zero = weights(first, count, w))
      return ValueFailure{zero_sigma_message(*zero, "sigma_field", "")};
    sums.w[0] = W::of(w);
    sums.x = X::of(VectorView{terminal.address(first), count, terminal.stride});
    detail::walk<detail::Sse2Lanes>(sums, 0, count);
    budget.spend(count * work_per_path);
  }
  return sums.sums.sums(n_paths);
}

// The serial pass: the weights of each group into a stack buffer as it is
// summed, by the fast kernels, or by the checked scalar recursion when some
// field may lack an element the row-major scan needs (the call then ends in the
// error met first, a zero sigma or the missing element).
template <class Payoff>
Outcome<LaneSums<2>> serial_price_paths(const TangentFlowInputs& in, const VectorView& terminal,
                                        double strike, bool checked) {
  double w[kGroup];
  return price_paths<Payoff>(
      in.n_paths, in.n_steps, terminal, strike,
      [&](std::size_t first, std::size_t count, const double*& out) -> std::optional<ZeroSigma> {
        out = w;
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
  // Written as a negated strict comparison so that NaN is rejected; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (states.cols < 2) return ValueFailure{"states must have at least 2 columns (n_steps + 1)"};
  const std::size_t n_paths = states.rows;
  const std::size_t n_steps = states.cols - 1;
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
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (states.cols < 2) return ValueFailure{"states must have at least 2 columns (n_steps + 1)"};
  const std::size_t n_paths = states.rows;
  const std::size_t n_steps = states.cols - 1;
  const struct {
    const char* name;
    const MatrixView& view;
  } arrays[] = {{"dws", dws},
                {"sigma_field", sigma_field},
                {"d_mu_dx_field", d_mu_dx_field},
                {"d_sigma_dx_field", d_sigma_dx_field}};
  for (const auto& a : arrays) {
    if (!(a.view.rows == n_paths && a.view.cols == n_steps))
      return ValueFailure{shape_message(a.name, a.view, n_paths, n_steps)};
  }
  const std::optional<PayoffKind> kind = payoff_kind_from_name(payoff);
  if (!kind) return ValueFailure{unknown_payoff_message(payoff, false)};
  return TangentFlowPriceInputs{make_tangent_flow_inputs(dws, sigma_field, d_mu_dx_field,
                                                         d_sigma_dx_field, n_paths, n_steps,
                                                         horizon),
                                states.column(n_steps), *kind, strike};
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
  const double* all = weights[0].data();
  return detail::with_payoff(inputs.payoff, [&](auto row) {
    return price_paths<decltype(row)>(
        in.n_paths, 1, inputs.terminal, inputs.strike,
        [&](std::size_t first, std::size_t, const double*& out) -> std::optional<ZeroSigma> {
          out = all + first;
          return std::nullopt;
        });
  });
}

Outcome<Estimate> price_and_delta_tangent_flow_parallel(const TangentFlowPriceInputs& inputs) {
  Outcome<LaneSums<2>> sums = price_and_delta_tangent_flow_parallel_sums(inputs);
  if (!sums.ok()) return std::move(sums).failure();
  return price_and_delta_estimate(sums.value());
}

}  // namespace quorvane
