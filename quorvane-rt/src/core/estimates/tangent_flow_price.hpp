// Price and BEL delta of a built-in payoff from full tangent-flow path batches.
//
// One pass over the paths: the tangent-flow weight w of each path (the recursion
// of weights/tangent_flow.hpp, same bits), the payoff p at the terminal state
// states[i, n_steps], and the delta sample d = w * p, accumulated path by path in
// index order into the payoff and delta lanes; then the sample-statistics rule.
// No per-path vector is kept: memory beyond the inputs is constant.
#pragma once

#include <string_view>

#include "core/payoffs/payoffs.hpp"
#include "core/views/views.hpp"
#include "core/statistics/statistics.hpp"
#include "core/support/outcome.hpp"
#include "core/weights/tangent_flow.hpp"

namespace quorvane {

// Checks, in this order:
//  - horizon > 0 (0, -0, negatives and NaN fail, +inf passes): "horizon must be
//    positive" (ValueError); a horizon of 0 would give an infinite or NaN delta
//    reported with a zero standard error, a negative one a sign-flipped delta;
//  - states has at least 2 columns (ValueError), n_paths = rows, n_steps = cols - 1;
//  - dws has at least n_paths rows and n_steps columns, else an internal failure
//    (kIndexOutOfBounds), before the payoff lookup; nothing to check when n_paths = 0;
//  - the payoff name: "unknown payoff '<name>'" (ValueError).
// Fields larger than n_paths x n_steps are accepted (only
// their leading block is read); a field too small is an internal failure at the
// first (i, j) in row-major order where a missing element is needed, unless a zero
// sigma_field element comes first: "sigma_field[i, j] = 0 produces division by zero".
Outcome<Estimate> price_and_delta_tangent_flow(const MatrixView& states, const MatrixView& dws,
                                               const MatrixView& sigma_field,
                                               const MatrixView& d_mu_dx_field,
                                               const MatrixView& d_sigma_dx_field, double horizon,
                                               std::string_view payoff, double strike);

// The sums behind it, lanes (payoff, delta), with the same checks; the estimate
// is the statistics rule on them.
Outcome<LaneSums<2>> price_and_delta_tangent_flow_sums(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field, double horizon,
    std::string_view payoff, double strike);

// The checked arguments of the parallel form.
struct TangentFlowPriceInputs {
  TangentFlowInputs paths;
  VectorView terminal;  // the last column of states, X_N
  PayoffKind payoff;
  double strike;
};

// The parallel form's checks, in this order: horizon > 0, states has at least 2
// columns, then dws, sigma_field, d_mu_dx_field and d_sigma_dx_field each of
// shape exactly (n_paths, n_steps) ("sigma_field shape [4, 10] != expected (4,
// 9)", as the parallel weights check theirs), then the payoff name. On arrays of
// the right shapes these are the serial form's checks, in its order.
Outcome<TangentFlowPriceInputs> validate_price_and_delta_tangent_flow_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field, double horizon,
    std::string_view payoff, double strike);

// The parallel form, run without the interpreter lock on checked inputs (after
// prepare_parallel_run): every path's weight on the worker pool, in blocks by
// the one parallel driver (core/parallel), into a buffer; then, on the calling
// thread, the serial pass's own loop sums p and w * p in path order. Each
// weight has the bits of the serial pass's (the same kernel per path) and the
// sums see the same values in the same order, so the estimate has the serial
// form's bits for every thread count. A zero sigma reports the first zero of
// the lowest failing block that ran. Throws Interrupted as run_path_blocks does.
Outcome<Estimate> price_and_delta_tangent_flow_parallel(const TangentFlowPriceInputs& inputs);

// The sums behind it, as price_and_delta_tangent_flow_sums gives them.
Outcome<LaneSums<2>> price_and_delta_tangent_flow_parallel_sums(
    const TangentFlowPriceInputs& inputs);

}  // namespace quorvane
