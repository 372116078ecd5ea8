// Price and delta of a built-in payoff of the weighted average A = sum_k a_k X_k
// (core/payoffs/functionals.hpp), in one pass over the paths: per path the
// average weight pi (core/weights/average.hpp, same bits), A from the path's
// row of states, p = payoff(A) and d = pi * p, added path by path in index
// order into LaneSums<2> (payoff, delta); then the sample-statistics rule.
// The *_sums forms stop before the rule: the sums of one chunk of paths
// (quorvane._chunks, core/statistics/chunk_sums.hpp), which the estimators
// themselves put through the rule, so one chunk's row gives their bits.
#pragma once

#include <string_view>

#include "core/statistics/statistics.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The checks of validate_average_inputs (the fields named *_field), then the
// payoff name; a zero sigma_field gives "sigma_field[i, j] = 0 produces
// division by zero", a zero Q the path's message.
Outcome<Estimate> price_and_delta_average_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    const VectorView& average_weights, std::string_view payoff, double strike);

Outcome<LaneSums<2>> price_and_delta_average_tangent_flow_sums(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    const VectorView& average_weights, std::string_view payoff, double strike);

// The checks of validate_average_constant_flow, then the payoff name.
Outcome<Estimate> price_and_delta_average_constant_flow(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx, std::string_view payoff, double strike);

Outcome<LaneSums<2>> price_and_delta_average_constant_flow_sums(
    const MatrixView& monitored_states, const VectorView& w_terminals,
    const VectorView& monitoring_times, const VectorView& average_weights, double horizon,
    double sigma_at_x0, double d_sigma_dx, std::string_view payoff, double strike);

}  // namespace quorvane
