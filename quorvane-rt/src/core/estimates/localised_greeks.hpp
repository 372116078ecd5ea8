// Localised Greeks: the BEL weight only where the payoff is not smooth.
//
// The payoff is split f = g + (f - g) around the strike (the payoff rows'
// `localise` column, core/payoffs/payoffs.hpp): g is smooth and differentiated
// along the path, the rest f - g, zero outside the band (K - delta, K + delta),
// takes the BEL weight. Per path, with X = X_N, p = f(X), (rest, g', g'') the
// split at X, Y = Y_N and Z = Z_N the first and second variations in X_0 and
// pi_D, pi_G, pi_V the BEL delta, gamma and vega weights, the samples are
//
//   delta   (g' * Y) + (pi_D * rest)
//   gamma   ((g'' * (Y * Y)) + (g' * Z)) + (pi_G * rest)
//   vega    (g' * dX/dv) + (pi_V * rest)                     (constant flow)
//
// rounded in exactly this order; each is unbiased for every delta > 0, since
// E[g'(X) Y] is the derivative of E[g(X)] and the weight gives that of
// E[(f - g)(X)]. The price is the plain mean of p.
//
// Constant flow (GBM sigma(x) = s x, ABM constant sigma), from sigma(X_0) and
// the slope sigma' = d_sigma_dx only:
//   GBM (sigma' != 0): X_0 = sigma(X_0) / sigma', so Y = X_T * ix with
//     ix = sigma' / sigma(X_0) rounded once; Z = 0; dX_T/ds = X_T * (W - slope_t)
//     with slope_t = sigma' * T (the BEL weights' own constant), whatever drift
//     the paths were simulated with, as long as it does not depend on s;
//   ABM (sigma' == 0): Y = 1, Z = 0, dX_T/dsigma = W.
//   With u = ((W * W) - (slope_t * W)) - T, r and h of
//   core/recursions/constant_flow_formulas.hpp, the weighted terms are
//   (W * rest) * r, ((u * rest) * r) * r and (u * rest) * h (so g = 0 gives
//   exactly the plain samples of price_and_greeks_constant_flow).
// Tangent flow: one pass of GammaRecursion<true, true> per path gives pi_G,
//   pi_D, Y_N and Z_N (core/weights/tangent_flow_variations.hpp); the weighted
//   terms are pi_D * rest and pi_G * rest (g = 0: the plain samples pi * p).
//
// The bandwidth. A given delta (positive and finite) is used for every Greek.
// Without one (automatic), the candidates are plain BEL (g = 0) and the bands
// delta_c = c * sd for c in kBandwidthMultiples, sd the population standard
// deviation of the terminal values, sd = sqrt(S2 / N - (S1 / N)^2) from their
// sums in path order (one cheap first pass over the terminal column). The sums
// of every candidate's samples are accumulated in the same pass, and per Greek
// the candidate with the least standard error wins (strictly less: ties go to
// the earlier candidate, plain BEL first; a NaN standard error never wins). The
// plain candidate's estimate has exactly the bits of the plain estimator, so the
// automatic choice is never worse than plain BEL on the sample. The bandwidth
// reported for a Greek is its winning delta, or 0.0 when plain BEL won. When sd
// is not positive and finite (fewer than two distinct terminal values, or
// values whose squares overflow) only plain BEL is a candidate.
//
// All sums run strictly in path order and every choice is made from them, so
// the result has the same bits on every run, layout, target and thread count.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/estimates/constant_flow_greeks.hpp"
#include "core/estimates/tangent_flow_greeks.hpp"
#include "core/payoffs/payoffs.hpp"
#include "core/recursions/gamma_recursion.hpp"
#include "core/support/buffer.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The candidate bands of the automatic choice, as multiples of sd(X_N).
inline constexpr double kBandwidthMultiples[] = {0.5, 1.0, 2.0, 4.0};

// The Greeks and the bandwidth each used (0.0: plain BEL).
struct LocalisedGreekEstimate {
  GreekEstimate greeks;
  double bandwidth[3];  // delta, gamma, vega
};
struct LocalisedTangentFlowEstimate {
  TangentFlowGreekEstimate greeks;
  double bandwidth[2];  // delta, gamma
};

// Checks as price_and_greeks_constant_flow, then the bandwidth ("bandwidth
// must be positive and finite"); nullopt is the automatic choice.
Outcome<LocalisedGreekEstimate> price_and_greeks_constant_flow_localised(
    const VectorView& terminal_states, const VectorView& w_terminals, double horizon,
    double sigma_at_x0, double d_sigma_dx, double volatility, std::string_view payoff,
    double strike, std::optional<double> bandwidth);

// One chunk's sums (quorvane.dask): the row [n, S1, S2 of each lane] of
// core/statistics/chunk_sums.hpp, lanes: the payoff, then for each Greek each
// candidate's samples, summed in path order with the estimator's own samples.
// A given bandwidth is the one candidate. Without one, the candidates are
// those of the automatic choice (plain BEL, then c * sd for each multiple),
// where sd is `spread` when given (the spread of all the chunks' terminal
// values, computed as above from sums in path order) and else this chunk's;
// a band c * sd that is not positive and finite is still summed, but never
// chosen. The same checks and errors as the estimators (the tangent flow's on
// its checked inputs, below).
Outcome<DoubleBuffer> price_and_greeks_constant_flow_localised_sums(
    const VectorView& terminal_states, const VectorView& w_terminals, double horizon,
    double sigma_at_x0, double d_sigma_dx, double volatility, std::string_view payoff,
    double strike, std::optional<double> bandwidth, std::optional<double> spread);

// The checked arguments of the tangent-flow estimator and its parallel form.
struct LocalisedTangentFlowInputs : TangentFlowGreeksInputs {
  double strike;
  std::optional<double> bandwidth;
};

// The checks of the tangent-flow estimator: those of price_and_greeks_tangent_flow
// but the zero sigma, which only the pass can meet, in the same order, with the
// bandwidth checked after the payoff.
Outcome<LocalisedTangentFlowInputs> validate_tangent_flow_localised_inputs(
    const MatrixView& states, const MatrixView& dws, const MatrixView& sigma_field,
    const MatrixView& d_mu_dx_field, const MatrixView& d_sigma_dx_field,
    const MatrixView& d2_mu_dx2_field, const MatrixView& d2_sigma_dx2_field, double horizon,
    std::string_view payoff, double strike, std::optional<double> bandwidth);

// The serial estimator on checked inputs; a zero sigma fails as in
// price_and_greeks_tangent_flow.
Outcome<LocalisedTangentFlowEstimate> price_and_greeks_tangent_flow_localised(
    const LocalisedTangentFlowInputs& inputs);
Outcome<DoubleBuffer> price_and_greeks_tangent_flow_localised_sums(
    const LocalisedTangentFlowInputs& inputs, std::optional<double> spread);

// The parallel form, run without the interpreter lock on checked inputs (after
// prepare_parallel_run): the per-path recursion outputs (pi_G, pi_D, Y_N, Z_N)
// of every path on the worker pool, in blocks by the one parallel driver
// (core/parallel), into buffers; then, on the calling thread, the bands and the
// samples summed in path order by the serial pass's own loop. Each output has
// the bits of the serial pass's (the same kernel per path), and the sums see the
// same values in the same order, so the result has the serial form's bits for
// every thread count. A zero sigma reports the first zero of the lowest failing
// block that ran. Throws Interrupted as run_path_blocks does.
Outcome<LocalisedTangentFlowEstimate> price_and_greeks_tangent_flow_localised_parallel(
    const LocalisedTangentFlowInputs& inputs);

// Per path, for localising a payoff of one's own: the delta weights, the gamma
// weights (with the bits of bel_weights_tangent_flow and
// bel_weights_gamma_tangent_flow), Y_N and Z_N, on the inputs that function
// takes (validate_tangent_flow_gamma_inputs).
struct WeightsAndVariations {
  DoubleBuffer delta, gamma, y, z;
};
Outcome<WeightsAndVariations> bel_weights_and_variations_tangent_flow(
    const TangentFlowGammaInputs& inputs);

}  // namespace quorvane
