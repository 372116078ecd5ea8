// price_and_delta_constant_flow: price, BEL delta and their standard errors for a
// built-in payoff on GBM/ABM terminal values, in one pass over the paths.
#pragma once

#include <string_view>

#include "core/views/views.hpp"
#include "core/statistics/statistics.hpp"
#include "core/support/outcome.hpp"

namespace quorvane {

// Length mismatch and unknown payoff are validation errors (in that order);
// a non-positive horizon or sigma_at_x0 is then an internal assertion failure.
// The estimate is the statistics rule on the sums of the next function.
Outcome<Estimate> price_and_delta_constant_flow(const VectorView& terminal_states,
                                                const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0, std::string_view payoff,
                                                double strike);

// The sums behind it, lanes (payoff, delta), with the same checks.
Outcome<LaneSums<2>> price_and_delta_constant_flow_sums(const VectorView& terminal_states,
                                                        const VectorView& w_terminals,
                                                        double horizon, double sigma_at_x0,
                                                        std::string_view payoff, double strike);

}  // namespace quorvane
