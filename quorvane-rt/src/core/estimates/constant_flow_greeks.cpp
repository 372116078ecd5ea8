#include "core/estimates/constant_flow_greeks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>

#include "core/kernels/kernels.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/support/interrupt.hpp"
#include "core/weights/constant_flow_gamma_vega.hpp"

namespace quorvane {

namespace {

// The four samples of path k, the kernels' operations in their order (for
// finite samples, which are all the rescue below sees, the bits do not depend
// on the operand order of commutative operations).
struct PathSamples {
  double v[4];  // payoff, delta, gamma, vega
};

PathSamples path_samples(const Payoff& payoff, double x, double w,
                         const ConstantFlowGreekConstants& c) noexcept {
  const double p = payoff(x);
  const double up = (((w * w) - (c.slope_t * w)) - c.horizon) * p;
  return PathSamples{{p, (w * p) * c.r, (up * c.r) * c.r, up * c.h}};
}

// Whether the squares of lane l left the doubles: S2 overflowed, or it is so
// small that the squares of its samples are subnormal or zero while the samples
// are not all zero. Only a lane with a finite mean is rescued; for the others
// the rule already gives a NaN standard error.
bool squares_out_of_range(const LaneSums<4>& s, std::size_t l, double mean) noexcept {
  if (!std::isfinite(mean)) return false;
  if (std::isinf(s.s2[l])) return true;
  constexpr double kSmallest = 0x1p-960;  // squares below ~2^-1022 lose bits
  return (s.s1[l] != 0.0 || s.s2[l] != 0.0) && s.s2[l] / static_cast<double>(s.n) < kSmallest;
}

// The standard errors of the flagged lanes from their samples scaled by a power
// of two 2^e_l that brings the largest |sample| of lane l into [1, 2): one pass
// for the largest magnitudes, one for the scaled sums S1', S2', then the
// statistics rule on them and 2^-e_l on the result. Scaling by a power of two
// is exact, so the result is the one the rule gives where the squares fit: a
// batch scaled by 2^k (GBM: X_T, K and sigma0) gets every standard error
// scaled by exactly its power of two.
void rescue_stderrs(const VectorView& xs, const VectorView& ws, const Payoff& payoff,
                    const ConstantFlowGreekConstants& c, const bool (&flagged)[4],
                    std::array<MeanStderr, 4>& lanes) {
  const std::size_t n = xs.length;
  double largest[4] = {0.0, 0.0, 0.0, 0.0};
  InterruptBudget budget;
  for (std::size_t k = 0; k < n; ++k) {
    const PathSamples ps = path_samples(payoff, xs[k], ws[k], c);
    for (int l = 0; l < 4; ++l) largest[l] = std::fmax(largest[l], std::fabs(ps.v[l]));
    budget.spend(1);
  }
  double scale[4];
  int e[4];
  for (int l = 0; l < 4; ++l) e[l] = largest[l] > 0.0 ? -std::ilogb(largest[l]) : 0;
  LaneSums<4> scaled;
  for (std::size_t k = 0; k < n; ++k) {
    const PathSamples ps = path_samples(payoff, xs[k], ws[k], c);
    for (int l = 0; l < 4; ++l) scale[l] = flagged[l] ? std::ldexp(ps.v[l], e[l]) : 0.0;
    scaled.add(scale);
    budget.spend(1);
  }
  const std::array<MeanStderr, 4> m = lane_estimates(scaled, UndefinedStderr::nan);
  for (int l = 0; l < 4; ++l) {
    if (flagged[l]) lanes[l].stderr_ = std::ldexp(m[l].stderr_, -e[l]);
  }
}

}  // namespace

Outcome<PayoffKind> validate_constant_flow_greeks_inputs(const VectorView& terminal_states,
                                                         const VectorView& w_terminals,
                                                         double horizon, double sigma_at_x0,
                                                         double d_sigma_dx, double volatility,
                                                         std::string_view payoff) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  if (!std::isfinite(d_sigma_dx)) return ValueFailure{"d_sigma_dx must be finite"};
  if (!(volatility > 0.0)) return ValueFailure{"volatility must be positive"};
  if (terminal_states.length != w_terminals.length)
    return ValueFailure{"terminal_states and w_terminals must have the same length"};
  const std::optional<PayoffKind> kind = payoff_kind_from_name(payoff);
  if (!kind) return ValueFailure{unknown_payoff_message(payoff)};
  return *kind;
}

Outcome<LaneSums<4>> price_and_greeks_constant_flow_sums(const VectorView& terminal_states,
                                                         const VectorView& w_terminals,
                                                         double horizon, double sigma_at_x0,
                                                         double d_sigma_dx, double volatility,
                                                         std::string_view payoff, double strike) {
  Outcome<PayoffKind> kind = validate_constant_flow_greeks_inputs(
      terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff);
  if (!kind.ok()) return std::move(kind).failure();

  const ConstantFlowGreekConstants c =
      constant_flow_greek_constants(horizon, sigma_at_x0, d_sigma_dx, volatility);
  const detail::GreekSumsKernel sum = detail::kernels_for(active_kernel_target()).greek_sums;
  const std::size_t n = terminal_states.length;
  // In chunks, so that a long call can be interrupted between two of them; the
  // four sums carry on from chunk to chunk, in index order, so the bits are
  // those of one pass.
  LaneSums<4> sums;
  for_each_interrupt_chunk(n, [&](std::size_t first, std::size_t last) {
    const std::size_t count = last - first;
    sums = sum(kind.value(), strike,
               VectorView{terminal_states.address(first), count, terminal_states.stride},
               VectorView{w_terminals.address(first), count, w_terminals.stride}, c, sums);
  });
  return sums;
}

Outcome<GreekEstimate> price_and_greeks_constant_flow(const VectorView& terminal_states,
                                                      const VectorView& w_terminals,
                                                      double horizon, double sigma_at_x0,
                                                      double d_sigma_dx, double volatility,
                                                      std::string_view payoff, double strike) {
  Outcome<LaneSums<4>> summed = price_and_greeks_constant_flow_sums(
      terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike);
  if (!summed.ok()) return std::move(summed).failure();
  const LaneSums<4>& sums = summed.value();
  std::array<MeanStderr, 4> e = lane_estimates(sums, UndefinedStderr::nan);
  // At extreme scales the estimates are doubles but their squares are not (GBM
  // at 2^510: prices near 2^513, squares beyond 2^1024): their standard errors
  // come from scaled samples instead of the clamp of a NaN or zero variance.
  bool flagged[4];
  bool any = false;
  for (std::size_t l = 0; l < 4; ++l) {
    flagged[l] = squares_out_of_range(sums, l, e[l].mean);
    any = any || flagged[l];
  }
  if (any) {
    // The arguments passed the checks above: the payoff is known.
    const Payoff row{*payoff_kind_from_name(payoff), strike};
    rescue_stderrs(terminal_states, w_terminals, row,
                   constant_flow_greek_constants(horizon, sigma_at_x0, d_sigma_dx, volatility),
                   flagged, e);
  }
  return GreekEstimate{e[0].mean,    e[1].mean,    e[2].mean,    e[3].mean,
                       e[0].stderr_, e[1].stderr_, e[2].stderr_, e[3].stderr_};
}

}  // namespace quorvane
