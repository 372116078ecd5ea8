// price_and_greeks_tangent_flow: price, BEL delta and gamma with their standard
// errors for a built-in payoff from full path batches of a general scalar
// diffusion, in one pass without storing weights.
//
// Per path the gamma weight of weights/tangent_flow_gamma.hpp and, from the
// same pass, the delta weight over [0, T] with the bits of the delta recursion;
// the payoff p at the terminal state states[i, n_steps]; the samples p, w * p and
// gamma_weight * p, summed path by path in index order; then the
// sample-statistics rule with UndefinedStderr::nan. Price and delta
// therefore have the bits of price_and_delta_tangent_flow on the same arrays,
// except for a standard error whose variance is NaN: NaN here, 0.0 there.
#pragma once

#include <string_view>

#include "core/payoffs/payoffs.hpp"
#include "core/statistics/statistics.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"
#include "core/weights/tangent_flow_gamma.hpp"

namespace quorvane {

// (price, delta, gamma, price_stderr, delta_stderr, gamma_stderr), the order of
// the Python tuple.
struct TangentFlowGreekEstimate {
  double price, delta, gamma;
  double price_stderr, delta_stderr, gamma_stderr;
};

// Checks in this order, all of them validation errors: horizon > 0; states has
// at least 3 columns; dws and the five fields of shape exactly (n_paths,
// n_steps) ("sigma_field shape [4, 10] != expected (4, 9)"); the payoff name
// ("unknown payoff 'Call': expected 'identity', 'call', 'put', or
// 'digital_call'"); during the pass, a zero sigma_field element
// ("sigma_field[2, 5] = 0 produces division by zero in BEL weight", the first in
// row-major order).
Outcome<TangentFlowGreekEstimate> price_and_greeks_tangent_flow(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike);

// The checked arguments of a tangent-flow Greeks pass.
struct TangentFlowGreeksInputs {
  TangentFlowGammaInputs paths;
  VectorView terminal;  // the last column of states, X_N
  PayoffKind payoff;
};

// The checks of price_and_greeks_tangent_flow but the zero sigma, which only the
// pass can meet, in the same order.
Outcome<TangentFlowGreeksInputs> validate_tangent_flow_greeks_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff);

// The sums behind it, lanes (payoff, delta, gamma), with the same checks; the
// estimate is the statistics rule (UndefinedStderr::nan) on them.
Outcome<LaneSums<3>> price_and_greeks_tangent_flow_sums(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike);

// The checked arguments of the parallel form: the pass's inputs and the strike.
struct TangentFlowGreeksCallInputs : TangentFlowGreeksInputs {
  double strike;
};

// The checks of price_and_greeks_tangent_flow but the zero sigma, as
// validate_tangent_flow_greeks_inputs.
Outcome<TangentFlowGreeksCallInputs> validate_price_and_greeks_tangent_flow_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike);

// The parallel form, run without the interpreter lock on checked inputs (after
// prepare_parallel_run): every path's delta and gamma weights on the worker
// pool, in blocks by the one parallel driver (core/parallel), into buffers;
// then, on the calling thread, the serial pass's own loop sums p, w * p and
// gamma_weight * p in path order. Each weight has the bits of the serial
// pass's (the same kernel per path) and the sums see the same values in the
// same order, so the estimate has the serial form's bits for every thread
// count. A zero sigma reports the first zero of the lowest failing block that
// ran. Throws Interrupted as run_path_blocks does.
Outcome<TangentFlowGreekEstimate> price_and_greeks_tangent_flow_parallel(
    const TangentFlowGreeksCallInputs& inputs);

// The sums behind it, as price_and_greeks_tangent_flow_sums gives them.
Outcome<LaneSums<3>> price_and_greeks_tangent_flow_parallel_sums(
    const TangentFlowGreeksCallInputs& inputs);

}  // namespace quorvane
