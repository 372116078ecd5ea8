// price_and_greeks_constant_flow: price, BEL delta, gamma and vega with their
// standard errors for a built-in payoff on GBM/ABM terminal values, in one pass.
//
// Per path p = payoff(X_T), then the delta sample (W * p) * r (the samples of
// price_and_delta_constant_flow, so price and delta have its bits), and with
// u = ((W * W) - (sigma' T * W)) - T the gamma sample ((u * p) * r) * r and the
// vega sample (u * p) * h (core/recursions/constant_flow_formulas.hpp). The
// four sums of each estimate run in path order; then the sample-statistics rule
// with UndefinedStderr::nan (a NaN standard error where the variance is NaN,
// instead of 0.0). A finite estimate whose squares overflow or underflow the
// doubles (GBM scaled by 2^510 or 2^-520) gets its standard error from its
// samples scaled by a power of two, in two more passes: the rule's result where
// the squares fit, scaled back exactly.
#pragma once

#include <string_view>

#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// (price, delta, gamma, vega, price_stderr, delta_stderr, gamma_stderr,
// vega_stderr), the order of the Python tuple.
struct GreekEstimate {
  double price, delta, gamma, vega;
  double price_stderr, delta_stderr, gamma_stderr, vega_stderr;
};

// Checks in this order: horizon > 0, sigma_at_x0 > 0, d_sigma_dx finite,
// volatility > 0, equal lengths ("terminal_states and w_terminals must have the
// same length"), the payoff name; all of them validation errors.
Outcome<GreekEstimate> price_and_greeks_constant_flow(const VectorView& terminal_states,
                                                      const VectorView& w_terminals,
                                                      double horizon, double sigma_at_x0,
                                                      double d_sigma_dx, double volatility,
                                                      std::string_view payoff, double strike);

// The one-pass sums behind it, lanes (payoff, delta, gamma, vega), with the
// same checks. The estimate is the statistics rule (UndefinedStderr::nan) on
// them, then the rescue of the standard errors whose squares left the doubles,
// which reads the samples again: sums alone cannot rescue them.
Outcome<LaneSums<4>> price_and_greeks_constant_flow_sums(const VectorView& terminal_states,
                                                         const VectorView& w_terminals,
                                                         double horizon, double sigma_at_x0,
                                                         double d_sigma_dx, double volatility,
                                                         std::string_view payoff, double strike);

// The checks above, in their order, for every constant-flow Greeks function:
// the payoff's kind when they pass.
Outcome<PayoffKind> validate_constant_flow_greeks_inputs(const VectorView& terminal_states,
                                                         const VectorView& w_terminals,
                                                         double horizon, double sigma_at_x0,
                                                         double d_sigma_dx, double volatility,
                                                         std::string_view payoff);

}  // namespace quorvane
