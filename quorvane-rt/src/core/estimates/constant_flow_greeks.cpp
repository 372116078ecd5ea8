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
  const std::array<MeanStderr, 4> e = lane_estimates(
      detail::kernels_for(active_kernel_target())
          .greek_sums(*kind, strike, terminal_states, w_terminals, c));
  return GreekEstimate{e[0].mean,    e[1].mean,    e[2].mean,    e[3].mean,
                       e[0].stderr_, e[1].stderr_, e[2].stderr_, e[3].stderr_};
}

}  // namespace quorvane
