// Docstrings of the module functions. The first line is the text signature that
// CPython exposes as __text_signature__; "--" and a blank line end it, and only
// the body after them becomes __doc__.
#pragma once

namespace quorvane::py::docs {

inline constexpr const char* kBelWeightsConstantFlow =
    "bel_weights_constant_flow(w_terminals, horizon, sigma_at_x0)\n--\n\n"
    "Low-level: per-path BEL constant-flow weights for a scalar SDE.\n"
    "\n"
    "Returns a one-dimensional NumPy array of length `n_paths` with\n"
    "w[k] = W_T_k / (T * sigma(X_0)), computed as W_T_k * (1 / (T * sigma(X_0))),\n"
    "to be multiplied by a vectorised payoff in NumPy, Torch or JAX:\n"
    "\n"
    "```python\n"
    "w = quorvane.bel_weights_constant_flow(w_terminals, horizon=1.0, sigma_at_x0=20.0)\n"
    "delta = (np.maximum(X_T - K, 0.0) * w).mean()\n"
    "```\n"
    "\n"
    "`w_terminals` is a 1-D float64 array of terminal Brownian values (any\n"
    "strides, never copied); `horizon` and `sigma_at_x0` must be positive.\n"
    "Use this function when sigma(X) = s*X (GBM) or sigma is constant (ABM);\n"
    "for general scalar SDEs use `bel_weights_tangent_flow`.";

inline constexpr const char* kBelWeightsTangentFlow =
    "bel_weights_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)\n--\n\n"
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

inline constexpr const char* kBelWeightsTangentFlowParallel =
    "bel_weights_tangent_flow_parallel(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)\n--\n\n"
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

inline constexpr const char* kPriceFromSamples =
    "price_from_samples(samples)\n--\n\n"
    "Low-level: plain Monte Carlo mean and standard error from terminal\n"
    "payoff samples, provided for symmetry so that NumPy users need not\n"
    "write their own variance accumulator.\n"
    "\n"
    "`samples` is a 1-D float64 array (any strides, never copied). Returns\n"
    "`(mean, stderr)`: sequential sums in index order, the population\n"
    "variance (divisor n) clamped at zero, and stderr = sqrt(var / n).";

inline constexpr const char* kPriceAndDeltaConstantFlow =
    "price_and_delta_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0, payoff, strike=0.0)\n--\n\n"
    "High-level: GBM (or ABM) constant-flow BEL delta.\n"
    "\n"
    "Takes terminal states and terminal Brownian values (as NumPy arrays)\n"
    "plus the name of a built-in payoff and returns\n"
    "`(price, delta, price_stderr, delta_stderr)` in one pass; no discount\n"
    "factor is applied.\n"
    "\n"
    "- `terminal_states`: 1-D float64 array of X_T, one value per path;\n"
    "- `w_terminals`: 1-D float64 array of W_T, of the same length (arrays\n"
    "  of any strides, never copied);\n"
    "- `horizon`: T; `sigma_at_x0`: sigma(X_0), `s * X_0` for GBM; both\n"
    "  must be positive;\n"
    "- `payoff`: one of **\"identity\"**, **\"call\"**, **\"put\"**,\n"
    "  **\"digital_call\"**; for other payoffs, use\n"
    "  `bel_weights_constant_flow` and compose in NumPy;\n"
    "- `strike`: K of the payoff (default 0.0; \"identity\" ignores it).\n"
    "\n"
    "Raises TypeError for an argument of the wrong type (arrays must be\n"
    "float64 NumPy arrays; nothing is converted), ValueError for arrays of\n"
    "different lengths or an unknown payoff, and `quorvane.PanicException`\n"
    "(a BaseException, not an Exception) for a `horizon` or `sigma_at_x0`\n"
    "that is not positive.";

inline constexpr const char* kPriceAndDeltaTangentFlow =
    "price_and_delta_tangent_flow(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon, payoff, strike=0.0)\n--\n\n"
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

}  // namespace quorvane::py::docs
