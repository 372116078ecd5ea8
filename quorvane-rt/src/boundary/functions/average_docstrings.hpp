// Docstrings of the average family (quorvane._average): the body of each,
// which follows the text signature that the function table writes from the
// row's parameters.
#pragma once

#include <string_view>

namespace quorvane::py::docs {

inline constexpr std::string_view kBelWeightsAverageTangentFlow =
    "Low-level: per-path BEL delta weights for payoffs of a weighted average\n"
    "of the path, A = sum_k a_k X_k over the grid columns k = 0 .. n_steps,\n"
    "for a scalar SDE dX = mu(X) dt + sigma(X) dW on a uniform Euler grid.\n"
    "\n"
    "What the weight is for: any payoff f of A (arithmetic Asians with any\n"
    "dates and weights, forward-start averages; a = e_N is the European\n"
    "case). The delta of f(A) is `(f(A) * pi).mean()`, exact for the Euler\n"
    "scheme: its expectation is what a central difference of the same scheme\n"
    "with common random numbers estimates. The weights of\n"
    "`bel_weights_tangent_flow` are for payoffs of X_T only.\n"
    "\n"
    "Inputs (float64 arrays, any strides, never copied):\n"
    "\n"
    "- `states` of shape `(n_paths, n_steps + 1)` (only its shape is used);\n"
    "- `dws` of shape `(n_paths, n_steps)`: the Brownian increments;\n"
    "- `sigma`, `d_mu_dx`, `d_sigma_dx`, `d2_mu_dx2`, `d2_sigma_dx2` of shape\n"
    "  `(n_paths, n_steps)`: sigma and the first and second x-derivatives of\n"
    "  mu and sigma at the state before each step;\n"
    "- `horizon`: T, positive;\n"
    "- `average_weights`: a 1-D array of the n_steps + 1 weights a_k, finite,\n"
    "  with a nonzero entry after column 0.\n"
    "\n"
    "Each path stores n_steps values of its tangent flow for a backward pass.\n"
    "A zero sigma raises ValueError naming its first position in row-major\n"
    "order; a path with sum_k a_k k Y_k = 0 (Y the tangent flow) raises\n"
    "ValueError naming the path.";

inline constexpr std::string_view kBelWeightsAverageTangentFlowParallel =
    "Low-level (parallel): the same as `bel_weights_average_tangent_flow`,\n"
    "with the same validation and bit-identical results, but the per-path\n"
    "loop runs on the worker pool and the interpreter lock (GIL) is released\n"
    "for the duration. The pool's size can be bounded through\n"
    "`RAYON_NUM_THREADS`, read once when the pool is first built.";

inline constexpr std::string_view kPriceAndDeltaAverageTangentFlow =
    "High-level: price and BEL delta of a built-in payoff of the weighted\n"
    "average A = sum_k a_k X_k of each path, for a general scalar diffusion,\n"
    "in one native pass without collecting the weights; no discount factor.\n"
    "\n"
    "Takes the arrays of `bel_weights_average_tangent_flow` (the fields named\n"
    "`sigma_field`, `d_mu_dx_field`, `d_sigma_dx_field`, `d2_mu_dx2_field`,\n"
    "`d2_sigma_dx2_field`); `states` is read here, each path's A computed as\n"
    "a_0 X_0, then + a_k X_k in column order. `payoff`: **\"identity\"**,\n"
    "**\"call\"**, **\"put\"** or **\"digital_call\"**, applied to A;\n"
    "`strike`: K of the payoff (default 0.0).\n"
    "\n"
    "Returns `(price, delta, price_stderr, delta_stderr)`;\n"
    "`quorvane.price_and_delta_average_tangent_flow` returns the same as a\n"
    "`quorvane.Estimate` named tuple.";

inline constexpr std::string_view kBelWeightsAverageConstantFlow =
    "Low-level: per-path BEL delta weights for payoffs of a weighted average\n"
    "A = sum_k a_k S_k of values monitored at times t_k in (0, horizon], for\n"
    "GBM (sigma(x) = s x, `d_sigma_dx` = s > 0) or ABM (constant sigma,\n"
    "`d_sigma_dx` = 0) simulated exactly at the monitoring dates.\n"
    "\n"
    "What the weight is for: any payoff f of A (arithmetic Asians with any\n"
    "dates and weights); the delta of f(A) is `(f(A) * pi).mean()`.\n"
    "\n"
    "- `monitored_states` of shape `(n_paths, n_dates)`: S at the dates;\n"
    "- `w_terminals` of length n_paths: the Brownian motion at `horizon`;\n"
    "- `monitoring_times` and `average_weights` of length n_dates;\n"
    "- `horizon`, `sigma_at_x0` = sigma(S_0): positive.\n"
    "\n"
    "GBM: pi = (W A / B - s (1 - A C / B^2)) / sigma_at_x0 with\n"
    "B = sum a_k t_k S_k and C = sum a_k t_k^2 S_k; ABM:\n"
    "pi = W sum a_k / (sigma_at_x0 sum a_k t_k). Any other `d_sigma_dx`\n"
    "raises ValueError.";

inline constexpr std::string_view kPriceAndDeltaAverageConstantFlow =
    "High-level: price and BEL delta of a built-in payoff of the weighted\n"
    "average A = sum_k a_k S_k under GBM or ABM, in one native pass; no\n"
    "discount factor. The inputs are those of\n"
    "`bel_weights_average_constant_flow`, then `payoff` (**\"identity\"**,\n"
    "**\"call\"**, **\"put\"** or **\"digital_call\"**, applied to A) and\n"
    "`strike` (default 0.0).\n"
    "\n"
    "Returns `(price, delta, price_stderr, delta_stderr)`;\n"
    "`quorvane.price_and_delta_average_constant_flow` returns the same as a\n"
    "`quorvane.Estimate` named tuple.";

}  // namespace quorvane::py::docs
