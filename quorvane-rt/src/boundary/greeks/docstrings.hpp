// Docstrings of the quorvane._greeks functions. The first line is the text
// signature that CPython exposes as __text_signature__; "--" and a blank line end
// it, and only the body after them becomes __doc__.
#pragma once

namespace quorvane::py::docs {

inline constexpr const char* kBelWeightsGammaConstantFlow =
    "bel_weights_gamma_constant_flow(w_terminals, horizon, sigma_at_x0, d_sigma_dx)\n--\n\n"
    "Low-level: per-path BEL constant-flow gamma weights for GBM or ABM.\n"
    "\n"
    "Returns a one-dimensional NumPy array with, for W = W_T,\n"
    "g[k] = (W^2 - d_sigma_dx * T * W - T) / (sigma(X_0)^2 * T^2), computed as\n"
    "(u * r) * r with u = ((W * W) - ((d_sigma_dx * T) * W)) - T and\n"
    "r = 1 / (T * sigma(X_0)): two multiplications, so that no scale of\n"
    "sigma(X_0) at which the weight is a double overflows or underflows.\n"
    "The gamma (second derivative of the price in X_0) of any payoff f is\n"
    "`(f(X_T) * g).mean()`:\n"
    "\n"
    "```python\n"
    "g = quorvane.bel_weights_gamma_constant_flow(w_T, 1.0, s * x0, s)  # GBM\n"
    "gamma = (np.maximum(x_T - K, 0.0) * g).mean()\n"
    "```\n"
    "\n"
    "`w_terminals` is a 1-D float64 array of terminal Brownian values (any\n"
    "strides, never copied); `horizon` and `sigma_at_x0` must be positive and\n"
    "`d_sigma_dx` (the constant slope of sigma: s for GBM sigma(x) = s*x, 0.0\n"
    "for ABM) finite. For GBM this is (W^2/(sT) - W - 1/s) / (X_0^2 s T).";

inline constexpr const char* kBelWeightsVegaConstantFlow =
    "bel_weights_vega_constant_flow(w_terminals, horizon, d_sigma_dx, volatility)\n--\n\n"
    "Low-level: per-path BEL constant-flow vega weights for GBM or ABM.\n"
    "\n"
    "Returns a one-dimensional NumPy array with, for W = W_T,\n"
    "v[k] = (W^2 - d_sigma_dx * T * W - T) / (T * volatility), computed as\n"
    "(((W * W) - ((d_sigma_dx * T) * W)) - T) * (1 / (T * volatility)): the\n"
    "derivative of the price with respect to the volatility parameter (s for\n"
    "GBM sigma(x) = s*x, sigma for ABM) is `(f(X_T) * v).mean()`. For GBM pass\n"
    "`d_sigma_dx = volatility = s` (weight W^2/(sT) - W - 1/s), for ABM\n"
    "`d_sigma_dx = 0.0` and `volatility = sigma` (weight (W^2 - T)/(sigma T)).\n"
    "\n"
    "`w_terminals` is a 1-D float64 array (any strides, never copied);\n"
    "`horizon` and `volatility` must be positive, `d_sigma_dx` finite.";

inline constexpr const char* kBelWeightsGammaTangentFlow =
    "bel_weights_gamma_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon)\n--\n\n"
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

inline constexpr const char* kBelWeightsGammaTangentFlowParallel =
    "bel_weights_gamma_tangent_flow_parallel(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon)\n--\n\n"
    "Low-level (parallel): the same as `bel_weights_gamma_tangent_flow`,\n"
    "with the same validation and bit-identical results, but the per-path\n"
    "loop runs on the worker pool of `bel_weights_tangent_flow_parallel` and\n"
    "the interpreter lock (GIL) is released for the duration.\n"
    "\n"
    "Worth it from about 10^5 path-steps. The number of threads is the\n"
    "pool's (one per logical processor), bounded by the environment variable\n"
    "`RAYON_NUM_THREADS`, read once when the pool is first built.";

inline constexpr const char* kPriceAndGreeksConstantFlow =
    "price_and_greeks_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike=0.0)\n--\n\n"
    "High-level: GBM or ABM price, delta, gamma and vega in one pass.\n"
    "\n"
    "Takes terminal states and terminal Brownian values (1-D float64 NumPy\n"
    "arrays of equal length), sigma(X_0), the slope `d_sigma_dx` and the\n"
    "volatility parameter (GBM: `s * x0, s, s`; ABM: `sigma, 0.0, sigma`) and\n"
    "the name of a built-in payoff (**\"identity\"**, **\"call\"**, **\"put\"**,\n"
    "**\"digital_call\"**), and returns the tuple `(price, delta, gamma, vega,\n"
    "price_stderr, delta_stderr, gamma_stderr, vega_stderr)`; no discount\n"
    "factor is applied. Price and delta have the bits of\n"
    "`price_and_delta_constant_flow`; the gamma and vega samples are\n"
    "((u * p) * r) * r and (u * p) * h with u the weights' common numerator,\n"
    "r = 1 / (T * sigma(X_0)) and h = 1 / (T * volatility). An estimate that\n"
    "is NaN or infinite has a NaN standard error (where\n"
    "`price_and_delta_constant_flow` reports 0.0); a finite one whose squares\n"
    "leave the doubles has its standard error from its samples scaled by a\n"
    "power of two.\n"
    "`quorvane.price_and_greeks_constant_flow` returns the same as a\n"
    "`quorvane.Greeks` named tuple.";

inline constexpr const char* kPriceAndGreeksTangentFlow =
    "price_and_greeks_tangent_flow(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field, d2_sigma_dx2_field, horizon, payoff, strike=0.0)\n--\n\n"
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

}  // namespace quorvane::py::docs
