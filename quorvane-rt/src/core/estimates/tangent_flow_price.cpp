#include "core/estimates/tangent_flow_price.hpp"

#include <optional>
#include <string>
#include <utility>

#include "core/payoffs/payoffs.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/kernels/streams.hpp"
#include "core/support/failure.hpp"
#include "core/kernels/kernels.hpp"
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

// The pass over the paths for one payoff kind: per group the weights (the fast
// kernels, or the checked scalar recursion when some field may lack an element
// the row-major scan needs: the call then ends in the error met first, a zero
// sigma or the missing element), then p = payoff(X_T), d = w * p into the sums.
template <class Payoff>
Outcome<LaneSums<2>> price_paths(const TangentFlowInputs& in, const VectorView& terminal,
                              double strike, bool checked) {
  using X = detail::Stream<false>;
  using W = detail::Stream<true>;
  detail::PriceSums<Payoff, false, X, W> sums{X::of(terminal), {}, strike, 0.0};
  double w[kGroup];
  sums.w[0] = W::of(w);
  InterruptBudget budget;  // a long call can be interrupted between two groups
  for (std::size_t first = 0; first < in.n_paths; first += kGroup) {
    const std::size_t count = in.n_paths - first < kGroup ? in.n_paths - first : kGroup;
    if (checked) {
      for (std::size_t k = 0; k < count; ++k) {
        const PathWeight pw = tangent_flow_path_weight_checked(in, first + k);
        if (!pw.ok())
          return ValueFailure{zero_sigma_message({first + k, *pw.zero_sigma_step}, "sigma_field", "")};
        w[k] = pw.weight;
      }
    } else if (std::optional<ZeroSigma> zero = tangent_flow_weights(in, first, count, w)) {
      return ValueFailure{zero_sigma_message(*zero, "sigma_field", "")};
    }
    sums.x = X::of(VectorView{terminal.address(first), count, terminal.stride});
    detail::walk<detail::Sse2Lanes>(sums, 0, count);
    budget.spend(count * in.n_steps);
  }
  return sums.sums.sums(in.n_paths);
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
    return price_paths<decltype(row)>(in, terminal, strike, !fields_cover);
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

}  // namespace quorvane
