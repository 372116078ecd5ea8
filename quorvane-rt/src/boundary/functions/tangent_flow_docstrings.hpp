// Docstrings of the tangent-flow family: the body of each, which follows the text
// signature that the function table writes from the row's parameters.
#pragma once

#include <string_view>

namespace quorvane::py::docs {

inline constexpr std::string_view kBelWeightsTangentFlow =
    "Low-level: per-path BEL tangent-flow weights for a scalar SDE\n"
    "dX = mu(X) dt + sigma(X) dW on a uniform grid.\n"
    "\n"
    "Inputs (2-D float64 arrays, any strides, never copied):\n"
    "\n"
    "- `states` of shape `(n_paths, n_steps + 1)`: the state values along\n"
    "  each path (only its shape is used);\n"
    "- `dws` of shape `(n_paths, n_steps)`: the Brownian increments;\n"
    "- `sigma`, `d_mu_dx`, `d_sigma_dx` of shape `(n_paths, n_steps)`: the\n"
    "  coefficient values evaluated at each pre-update state. Passing arrays\n"
    "  rather than Python callables keeps the hot loop in native code and\n"
    "  avoids taking the interpreter lock (GIL) again for a call into Python\n"
    "  at every step;\n"
    "- `horizon`: T, positive.\n"
    "\n"
    "Returns a one-dimensional NumPy array of per-path weights `pi_k`; the\n"
    "delta of any payoff f is `(f(X_T) * pi).mean()`. A zero sigma raises\n"
    "ValueError naming its first position in row-major order.";

inline constexpr std::string_view kBelWeightsTangentFlowParallel =
    "Low-level (parallel): the same as `bel_weights_tangent_flow`, with the\n"
    "same validation and bit-identical results, but the per-path loop runs\n"
    "on a pool of worker threads and the interpreter lock (GIL) is released\n"
    "for the duration, so other Python threads keep running.\n"
    "\n"
    "Recommended whenever `n_paths * n_steps` is large enough to amortise the\n"
    "cost of starting threads (about 10^5 path-steps or more). By default it\n"
    "uses the pool's current number of threads (one per logical processor);\n"
    "the number can be bounded through the environment variable\n"
    "`RAYON_NUM_THREADS`, read once when the pool is first built (or, from\n"
    "native code, by building a custom pool).";

inline constexpr std::string_view kPriceAndDeltaTangentFlow =
    "High-level: tangent-flow BEL delta for a general scalar diffusion\n"
    "dX = mu(X) dt + sigma(X) dW, over full path batches.\n"
    "\n"
    "Accepts `(states, dws)` and the three coefficient fields (2-D float64\n"
    "arrays, any strides, never copied) and returns\n"
    "`(price, delta, price_stderr, delta_stderr)` for a built-in payoff, in\n"
    "one native pass without collecting the weights; no discount factor.\n"
    "\n"
    "- `states` of shape `(n_paths, n_steps + 1)`, column 0 holding X_0: it\n"
    "  alone sets n_paths and n_steps, and only its last column is read,\n"
    "  as X_T;\n"
    "- `dws` of shape `(n_paths, n_steps)`: the Brownian increments;\n"
    "- `sigma_field`, `d_mu_dx_field`, `d_sigma_dx_field` of shape\n"
    "  `(n_paths, n_steps)`: sigma, d mu/dx and d sigma/dx at the state\n"
    "  before each step;\n"
    "- `horizon`: T, positive;\n"
    "- `payoff`: **\"identity\"**, **\"call\"**, **\"put\"** or\n"
    "  **\"digital_call\"**; `strike`: K of the payoff (default 0.0).\n"
    "\n"
    "Larger arrays are accepted: only their leading block is read. So pass\n"
    "`states` with its X_0 column: without it n_steps is one less, the last\n"
    "step is silently dropped and the delta is wrong, with no error.\n"
    "\n"
    "Raises TypeError for an argument of the wrong type, ValueError for\n"
    "`states` with fewer than 2 columns, an unknown payoff, a `horizon`\n"
    "that is not positive or a zero in `sigma_field`, and\n"
    "`quorvane.PanicException` (a BaseException, not an Exception) when\n"
    "`dws` or a field is smaller than the batch.";

inline constexpr std::string_view kBelWeightsGammaTangentFlow =
    "Low-level: per-path BEL tangent-flow gamma weights for a scalar SDE\n"
    "dX = mu(X) dt + sigma(X) dW on a uniform grid of n_steps >= 2 steps.\n"
    "\n"
    "Inputs (2-D float64 arrays, any strides, never copied):\n"
    "\n"
    "- `states` of shape `(n_paths, n_steps + 1)` (only its shape is used);\n"
    "- `dws` of shape `(n_paths, n_steps)`: the Brownian increments;\n"
    "- `sigma`, `d_mu_dx`, `d_sigma_dx`, `d2_mu_dx2`, `d2_sigma_dx2` of shape\n"
    "  `(n_paths, n_steps)`: sigma and the first and second derivatives of mu\n"
    "  and sigma at each pre-update state;\n"
    "- `horizon`: T, positive.\n"
    "\n"
    "Two-interval form: the grid is split at m = n_steps // 2 (T1 = m * dt);\n"
    "beside the tangent flow Y the second variation Z = dY/dX_0 is carried,\n"
    "and the weight is A * B + C with A and B the delta weights on [0, T1]\n"
    "and [T1, T] and C = (1/T1) sum_{j<m} (Z/sigma - Y^2 sigma'/sigma^2) dW.\n"
    "The gamma of any payoff f is `(f(X_T) * g).mean()`; its variance is\n"
    "larger than the delta's. A zero sigma raises ValueError naming its first\n"
    "position in row-major order.";

inline constexpr std::string_view kBelWeightsGammaTangentFlowParallel =
    "Low-level (parallel): the same as `bel_weights_gamma_tangent_flow`,\n"
    "with the same validation and bit-identical results, but the per-path\n"
    "loop runs on the worker pool of `bel_weights_tangent_flow_parallel` and\n"
    "the interpreter lock (GIL) is released for the duration.\n"
    "\n"
    "Worth it from about 10^5 path-steps. The number of threads is the\n"
    "pool's (one per logical processor), bounded by the environment variable\n"
    "`RAYON_NUM_THREADS`, read once when the pool is first built.";

inline constexpr std::string_view kPriceAndGreeksTangentFlow =
    "High-level: price, delta and gamma of a built-in payoff for a general\n"
    "scalar diffusion, over full path batches, in one native pass without\n"
    "storing weights.\n"
    "\n"
    "Arrays as for `bel_weights_gamma_tangent_flow` (only the last column of\n"
    "`states` is read, as X_T); every array must have exactly its shape and\n"
    "`horizon` must be positive. Returns the tuple `(price, delta, gamma,\n"
    "price_stderr, delta_stderr, gamma_stderr)` for **\"identity\"**,\n"
    "**\"call\"**, **\"put\"** or **\"digital_call\"**. The delta weight over\n"
    "[0, T] comes from the same pass, so price and delta have the bits of\n"
    "`price_and_delta_tangent_flow`; the gamma is the mean of gamma weight\n"
    "times payoff. An estimate that is NaN or infinite has a NaN standard\n"
    "error. `quorvane.price_and_greeks_tangent_flow` returns the same\n"
    "as a `quorvane.TangentFlowGreeks` named tuple.";

inline constexpr std::string_view kPriceAndGreeksTangentFlowLocalised =
    "High-level: price, delta and gamma of a built-in payoff for a general\n"
    "scalar diffusion by localised BEL, in one native pass.\n"
    "\n"
    "Arguments as for `price_and_greeks_tangent_flow`, `bandwidth` as for\n"
    "`price_and_greeks_constant_flow_localised`. One pass of the gamma\n"
    "recursion per path gives the delta and gamma weights and the last\n"
    "variations Y_N = dX_N/dX_0 and Z_N = d2X_N/dX_0^2; the samples are\n"
    "g'(X_N) Y_N + (f - g)(X_N) pi_delta and\n"
    "g''(X_N) Y_N^2 + g'(X_N) Z_N + (f - g)(X_N) pi_gamma. Returns the tuple\n"
    "`(price, delta, gamma, price_stderr, delta_stderr, gamma_stderr,\n"
    "delta_bandwidth, gamma_bandwidth)`; the price has the bits of\n"
    "`price_and_greeks_tangent_flow`. A zero sigma_field element raises\n"
    "ValueError naming its first position in row-major order.\n"
    "`quorvane.price_and_greeks_tangent_flow_localised` returns the same as a\n"
    "`quorvane.LocalisedTangentFlowGreeks` named tuple.";

inline constexpr std::string_view kPriceAndGreeksTangentFlowLocalisedParallel =
    "High-level (parallel): the same as\n"
    "`price_and_greeks_tangent_flow_localised`, with the same validation and\n"
    "bit-identical results, but the per-path weights and variations are\n"
    "computed on the worker pool of `bel_weights_tangent_flow_parallel`, with\n"
    "the interpreter lock (GIL) released for the duration; the samples are\n"
    "then summed in path order.\n"
    "\n"
    "Worth it from about 10^5 path-steps. It holds four doubles per path\n"
    "(32 bytes) while it runs. A zero sigma_field element raises ValueError\n"
    "naming the first zero of the lowest block of paths that met one.";

inline constexpr std::string_view kBelWeightsAndVariationsTangentFlow =
    "Low-level: per path, the BEL delta and gamma weights and the last\n"
    "variations Y_N = dX_N/dX_0 and Z_N = d2X_N/dX_0^2, from one pass.\n"
    "\n"
    "Arrays as for `bel_weights_gamma_tangent_flow`. Returns four 1-D arrays\n"
    "`(delta_weights, gamma_weights, y_n, z_n)`; the weights have the bits of\n"
    "`bel_weights_tangent_flow` and `bel_weights_gamma_tangent_flow`. They\n"
    "localise a payoff of your own: with g a smooth part of f,\n"
    "\n"
    "```python\n"
    "d, g, y, z = quorvane.bel_weights_and_variations_tangent_flow(...)\n"
    "delta = (g1(x) * y + (f(x) - g0(x)) * d).mean()\n"
    "gamma = (g2(x) * y**2 + g1(x) * z + (f(x) - g0(x)) * g).mean()\n"
    "```\n"
    "\n"
    "A zero sigma raises ValueError naming its first position in row-major\n"
    "order.";

}  // namespace quorvane::py::docs
