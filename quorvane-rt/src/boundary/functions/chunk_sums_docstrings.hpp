// Docstrings of the chunk-sum rows of every family and of estimate_from_sums
// (the functions of quorvane._chunks): the body of each, which follows the text
// signature that the function table writes from the row's parameters. A chunk
// sum takes its estimator's parameters, so its signature is the estimator's.
#pragma once

#include <string_view>

namespace quorvane::py::docs {

#define QUORVANE_CHUNK_SUMS_BODY(estimator, lanes)                                          \
  "The sums behind `" estimator "` on one chunk of paths, as a 1-D\n"                    \
  "float64 array [n, S1, S2 of each lane] with the lanes " lanes ": the\n"                \
  "count, then per lane the sum of the samples and the sum of their squares,\n"           \
  "plain sequential sums in path order. Same arguments, same checks and\n"                \
  "errors as `" estimator "`; `estimate_from_sums` on the one row gives\n"                \
  "its result bit for bit."

inline constexpr std::string_view kPriceFromSamplesSums =
    QUORVANE_CHUNK_SUMS_BODY("_quorvane.price_from_samples", "(samples)");

inline constexpr std::string_view kPriceAndDeltaConstantFlowSums =
    QUORVANE_CHUNK_SUMS_BODY("_quorvane.price_and_delta_constant_flow", "(payoff, delta)");

inline constexpr std::string_view kPriceAndDeltaTangentFlowSums =
    QUORVANE_CHUNK_SUMS_BODY("_quorvane.price_and_delta_tangent_flow", "(payoff, delta)");

inline constexpr std::string_view kPriceAndGreeksConstantFlowSums =
    QUORVANE_CHUNK_SUMS_BODY("quorvane._greeks.price_and_greeks_constant_flow", "(payoff, delta, gamma, vega)")
    "\nThat function also rescues the standard errors of\n"
    "estimates whose squares leave the doubles (GBM scaled by 2^510 or 2^-520)\n"
    "from the samples themselves; sums cannot, so at those scales the rule\n"
    "gives what it gives on out-of-range sums (an infinite, zero or NaN\n"
    "standard error).";

inline constexpr std::string_view kPriceAndGreeksTangentFlowSums =
    QUORVANE_CHUNK_SUMS_BODY("quorvane._greeks.price_and_greeks_tangent_flow", "(payoff, delta, gamma)");

inline constexpr std::string_view kPriceAndDeltaTangentFlowParallelSums = QUORVANE_CHUNK_SUMS_BODY(
    "quorvane._greeks.price_and_delta_tangent_flow_parallel", "(payoff, delta)");

inline constexpr std::string_view kPriceAndGreeksTangentFlowParallelSums = QUORVANE_CHUNK_SUMS_BODY(
    "quorvane._greeks.price_and_greeks_tangent_flow_parallel", "(payoff, delta, gamma)");

inline constexpr std::string_view kPriceAndDeltaAverageTangentFlowSums =
    QUORVANE_CHUNK_SUMS_BODY("quorvane._average.price_and_delta_average_tangent_flow", "(payoff, delta)");

inline constexpr std::string_view kPriceAndDeltaAverageConstantFlowSums =
    QUORVANE_CHUNK_SUMS_BODY("quorvane._average.price_and_delta_average_constant_flow", "(payoff, delta)");

#define QUORVANE_LOCALISED_SUMS_TAIL(greeks)                                                \
  "\nWith a `bandwidth`, the lanes are those of that band. Without one, they\n"          \
  "are the payoff, then for each of " greeks " the samples of every\n"               \
  "candidate of the automatic choice: plain BEL, then the bands 0.5, 1, 2\n"            \
  "and 4 times `spread`, the population standard deviation of the terminal\n"         \
  "values of all the chunks (that of this chunk's when None), so 1 + 2 (1 +\n"       \
  "5 G) numbers. A band that is not positive and finite is summed all the\n"          \
  "same; the choice, per Greek the least standard error with ties to the\n"          \
  "earlier candidate, is the caller's, on the combined sums."

inline constexpr std::string_view kPriceAndGreeksConstantFlowLocalisedSums =
    QUORVANE_CHUNK_SUMS_BODY("quorvane._localised.price_and_greeks_constant_flow_localised",
                             "(payoff, delta, gamma, vega)")
    QUORVANE_LOCALISED_SUMS_TAIL("delta, gamma and vega");

inline constexpr std::string_view kPriceAndGreeksTangentFlowLocalisedSums =
    QUORVANE_CHUNK_SUMS_BODY("quorvane._localised.price_and_greeks_tangent_flow_localised",
                             "(payoff, delta, gamma)")
    QUORVANE_LOCALISED_SUMS_TAIL("delta and gamma");

#undef QUORVANE_LOCALISED_SUMS_TAIL
#undef QUORVANE_CHUNK_SUMS_BODY

inline constexpr std::string_view kEstimateFromSums =
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
