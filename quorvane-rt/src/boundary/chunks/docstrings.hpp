// Docstrings of the quorvane._chunks functions. The first line is the text
// signature that CPython exposes as __text_signature__; "--" and a blank line end
// it, and only the body after them becomes __doc__.
#pragma once

namespace quorvane::py::docs {

#define QUORVANE_CHUNK_SUMS_BODY(estimator, lanes)                                          \
  "The sums behind `" estimator "` on one chunk of paths, as a 1-D\n"                    \
  "float64 array [n, S1, S2 of each lane] with the lanes " lanes ": the\n"                \
  "count, then per lane the sum of the samples and the sum of their squares,\n"           \
  "plain sequential sums in path order. Same arguments, same checks and\n"                \
  "errors as `" estimator "`; `estimate_from_sums` on the one row gives\n"                \
  "its result bit for bit."

inline constexpr const char* kSamplesSums =
    "price_from_samples(samples)\n--\n\n" QUORVANE_CHUNK_SUMS_BODY(
        "_quorvane.price_from_samples", "(samples)");

inline constexpr const char* kDeltaConstantFlowSums =
    "price_and_delta_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0, payoff, "
    "strike=0.0)\n--\n\n" QUORVANE_CHUNK_SUMS_BODY("_quorvane.price_and_delta_constant_flow",
                                                   "(payoff, delta)");

inline constexpr const char* kDeltaTangentFlowSums =
    "price_and_delta_tangent_flow(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, "
    "horizon, payoff, strike=0.0)\n--\n\n" QUORVANE_CHUNK_SUMS_BODY(
        "_quorvane.price_and_delta_tangent_flow", "(payoff, delta)");

inline constexpr const char* kGreeksConstantFlowSums =
    "price_and_greeks_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0, "
    "d_sigma_dx, volatility, payoff, strike=0.0)\n--\n\n" QUORVANE_CHUNK_SUMS_BODY(
        "quorvane._greeks.price_and_greeks_constant_flow", "(payoff, delta, gamma, vega)")
    "\nThat function also rescues the standard errors of\n"
    "estimates whose squares leave the doubles (GBM scaled by 2^510 or 2^-520)\n"
    "from the samples themselves; sums cannot, so at those scales the rule\n"
    "gives what it gives on out-of-range sums (an infinite, zero or NaN\n"
    "standard error).";

inline constexpr const char* kGreeksTangentFlowSums =
    "price_and_greeks_tangent_flow(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, "
    "d2_mu_dx2_field, d2_sigma_dx2_field, horizon, payoff, strike=0.0)\n--\n\n" QUORVANE_CHUNK_SUMS_BODY(
        "quorvane._greeks.price_and_greeks_tangent_flow", "(payoff, delta, gamma)");

#undef QUORVANE_CHUNK_SUMS_BODY

inline constexpr const char* kEstimateFromSums =
    "estimate_from_sums(sums, undefined_stderr)\n--\n\n"
    "The estimates of the chunk sums in the rows of `sums` (a 2-D float64\n"
    "array, one row per chunk as the functions above return them, all of\n"
    "the same estimator), as a 1-D float64 array: the mean of each lane,\n"
    "then the standard error of each lane, the order of the estimator's\n"
    "tuple.\n"
    "\n"
    "The rows are added in row order, each total starting at +0.0, then\n"
    "per lane mean = S1 / N, var = S2 / N - mean * mean (+0.0 unless\n"
    "strictly positive), stderr = sqrt(var / N). `undefined_stderr` is\n"
    "'zero' for the rule of `_quorvane` or 'nan' for that of\n"
    "`quorvane._greeks`, where a NaN or infinite mean or a NaN variance gives\n"
    "a NaN standard error. Several rows give the estimator of one call over\n"
    "all the paths, but not its last bits: one call adds every path into\n"
    "one running sum. A row whose count is not a whole number in [0, 2^53],\n"
    "a width that is not 1 + 2 K or an unknown `undefined_stderr` raises\n"
    "ValueError.";

}  // namespace quorvane::py::docs
