#include "core/estimates/constant_flow_greeks.hpp"

#include <cmath>
#include <string>

#include "core/weights/constant_flow_gamma_vega.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/kernels/kernels.hpp"

namespace quorvane {

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
  const std::optional<PayoffKind> kind = payoff_kind_from_name(payoff);
  if (!kind) return ValueFailure{unknown_payoff_message(payoff)};

  const ConstantFlowGreekConstants c =
      constant_flow_greek_constants(horizon, sigma_at_x0, d_sigma_dx, volatility);
  const GreekSums sums = detail::kernels_for(active_kernel_target())
                             .greek_sums(*kind, strike, terminal_states, w_terminals, c);
  const std::size_t n = terminal_states.length;
  const MeanStderr p = mean_and_stderr(sums.payoff, n);
  const MeanStderr d = mean_and_stderr(sums.delta, n);
  const MeanStderr g = mean_and_stderr(sums.gamma, n);
  const MeanStderr v = mean_and_stderr(sums.vega, n);
  return GreekEstimate{p.mean, d.mean, g.mean, v.mean, p.stderr_, d.stderr_, g.stderr_, v.stderr_};
}

}  // namespace quorvane
