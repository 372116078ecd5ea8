// Docstrings of the constant-flow family: the body of each, which follows the text
// signature that the function table writes from the row's parameters.
#pragma once

#include <string_view>

namespace quorvane::py::docs {

inline constexpr std::string_view kBelWeightsConstantFlow =
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

inline constexpr std::string_view kPriceAndDeltaConstantFlow =
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

inline constexpr std::string_view kBelWeightsGammaConstantFlow =
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

inline constexpr std::string_view kBelWeightsVegaConstantFlow =
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

inline constexpr std::string_view kPriceAndGreeksConstantFlow =
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

inline constexpr std::string_view kPriceAndGreeksConstantFlowLocalised =
    "High-level: GBM or ABM price, delta, gamma and vega by localised BEL, in\n"
    "one pass.\n"
    "\n"
    "Arguments as for `price_and_greeks_constant_flow`. The payoff f is split\n"
    "f = g + (f - g) with g smooth around the strike: g is differentiated\n"
    "along the path and only the rest f - g, zero outside the band\n"
    "(K - bandwidth, K + bandwidth), takes the BEL weight. The pathwise terms\n"
    "are Y = X_T / X_0 and dX_T/ds = X_T * (W_T - s T) for GBM (X_0 is\n"
    "sigma_at_x0 / d_sigma_dx, s is d_sigma_dx), Y = 1 and dX_T/dsigma = W_T\n"
    "for ABM (d_sigma_dx = 0.0). Unbiased for every bandwidth.\n"
    "\n"
    "`bandwidth` is the half-width of the band in units of X, positive and\n"
    "finite; None (the default) chooses it per Greek: plain BEL and the bands\n"
    "0.5, 1, 2 and 4 times the standard deviation of the terminal states are\n"
    "summed in the same pass, and each Greek keeps the one with the least\n"
    "standard error (ties to the earlier one, plain BEL first). Returns the\n"
    "tuple `(price, delta, gamma, vega, price_stderr, delta_stderr,\n"
    "gamma_stderr, vega_stderr, delta_bandwidth, gamma_bandwidth,\n"
    "vega_bandwidth)`, a bandwidth of 0.0 meaning plain BEL. The price is\n"
    "the plain mean, with the bits of `price_and_greeks_constant_flow`.\n"
    "`quorvane.price_and_greeks_constant_flow_localised` returns the same as\n"
    "a `quorvane.LocalisedGreeks` named tuple.";

}  // namespace quorvane::py::docs
