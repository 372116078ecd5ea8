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
  const MeanStderr p = mean_and_stderr(sums.payoff, n);
  const MeanStderr d = mean_and_stderr(sums.delta, n);
  const MeanStderr g = mean_and_stderr(sums.gamma, n);
  const MeanStderr v = mean_and_stderr(sums.vega, n);
  return GreekEstimate{p.mean, d.mean, g.mean, v.mean, p.stderr_, d.stderr_, g.stderr_, v.stderr_};
}

}  // namespace quorvane
