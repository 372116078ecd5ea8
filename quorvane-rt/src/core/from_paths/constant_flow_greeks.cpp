#include "core/from_paths/constant_flow_greeks.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/estimators/constant_flow_greeks.hpp"
#include "core/estimators/payoff.hpp"
#include "core/estimators/stats.hpp"
#include "core/kernels/kernels.hpp"
#include "core/support/interrupt.hpp"

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

// Whether the squares of a lane left the doubles: S2 overflowed, or it is so
// small that the squares of its samples are subnormal or zero while the samples
// are not all zero. Only a lane with a finite mean is rescued; for the others
// the rule already gives a NaN standard error.
bool squares_out_of_range(const RunningSums& s, std::uint64_t n, double mean) noexcept {
  if (!std::isfinite(mean)) return false;
  if (std::isinf(s.s2)) return true;
  constexpr double kSmallest = 0x1p-960;  // squares below ~2^-1022 lose bits
  return (s.s1 != 0.0 || s.s2 != 0.0) && s.s2 / static_cast<double>(n) < kSmallest;
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
                    MeanStderr* (&lanes)[4]) {
  const std::size_t n = xs.length;
  double largest[4] = {0.0, 0.0, 0.0, 0.0};
  InterruptBudget budget;
  for (std::size_t k = 0; k < n; ++k) {
    const PathSamples ps = path_samples(payoff, xs[k], ws[k], c);
    for (int l = 0; l < 4; ++l) largest[l] = std::fmax(largest[l], std::fabs(ps.v[l]));
    budget.spend(1);
  }
  int e[4];
  for (int l = 0; l < 4; ++l) e[l] = largest[l] > 0.0 ? -std::ilogb(largest[l]) : 0;
  RunningSums scaled[4];
  for (std::size_t k = 0; k < n; ++k) {
    const PathSamples ps = path_samples(payoff, xs[k], ws[k], c);
    for (int l = 0; l < 4; ++l) {
      if (flagged[l]) scaled[l].add(std::ldexp(ps.v[l], e[l]));
    }
    budget.spend(1);
  }
  for (int l = 0; l < 4; ++l) {
    if (!flagged[l]) continue;
    const MeanStderr m = greek_mean_and_stderr(scaled[l], n);
    lanes[l]->stderr_ = std::ldexp(m.stderr_, -e[l]);
  }
}

}  // namespace

std::string unknown_payoff_message(std::string_view name) {
  std::string m = "unknown payoff '";
  m += name;
  m += "': expected 'identity', 'call', 'put', or 'digital_call'";
  return m;
}

Outcome<GreekEstimate> price_and_greeks_constant_flow(const VectorView& terminal_states,
                                                      const VectorView& w_terminals,
                                                      double horizon, double sigma_at_x0,
                                                      double d_sigma_dx, double volatility,
                                                      std::string_view payoff, double strike) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  if (!std::isfinite(d_sigma_dx)) return ValueFailure{"d_sigma_dx must be finite"};
  if (!(volatility > 0.0)) return ValueFailure{"volatility must be positive"};
  if (terminal_states.length != w_terminals.length)
    return ValueFailure{"terminal_states and w_terminals must have the same length"};
  const std::optional<Payoff> found = payoff_from_name(payoff, strike);
  if (!found) return ValueFailure{unknown_payoff_message(payoff)};

  const ConstantFlowGreekConstants c =
      constant_flow_greek_constants(horizon, sigma_at_x0, d_sigma_dx, volatility);
  const detail::GreekSumsKernel sum = detail::kernels_for(active_kernel_target()).greek_sums;
  const std::size_t n = terminal_states.length;
  // In chunks, so that a long call can be interrupted between two of them; the
  // four sums carry on from chunk to chunk, in index order, and each chunk but
  // the last is a whole number of vectors, so the bits are those of one pass.
  GreekSums sums{};
  InterruptBudget budget;
  for (std::size_t first = 0; first < n; first += kInterruptChunk) {
    const std::size_t count = std::min(kInterruptChunk, n - first);
    sums = sum(found->kind, strike,
               VectorView{terminal_states.address(first), count, terminal_states.stride},
               VectorView{w_terminals.address(first), count, w_terminals.stride}, c, sums);
    budget.spend(count);
  }
  MeanStderr p = greek_mean_and_stderr(sums.payoff, n);
  MeanStderr d = greek_mean_and_stderr(sums.delta, n);
  MeanStderr g = greek_mean_and_stderr(sums.gamma, n);
  MeanStderr v = greek_mean_and_stderr(sums.vega, n);
  // At extreme scales the estimates are doubles but their squares are not (GBM
  // at 2^510: prices near 2^513, squares beyond 2^1024): their standard errors
  // come from scaled samples instead of the clamp of a NaN or zero variance.
  const RunningSums* all[4] = {&sums.payoff, &sums.delta, &sums.gamma, &sums.vega};
  MeanStderr* lanes[4] = {&p, &d, &g, &v};
  bool flagged[4];
  bool any = false;
  for (int l = 0; l < 4; ++l) {
    flagged[l] = squares_out_of_range(*all[l], n, lanes[l]->mean);
    any = any || flagged[l];
  }
  if (any) rescue_stderrs(terminal_states, w_terminals, *found, c, flagged, lanes);
  return GreekEstimate{p.mean, d.mean, g.mean, v.mean, p.stderr_, d.stderr_, g.stderr_, v.stderr_};
}

}  // namespace quorvane
