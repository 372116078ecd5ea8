// Docstrings of the quorvane._localised functions. The first line is the text
// signature that CPython exposes as __text_signature__; "--" and a blank line end
// it, and only the body after them becomes __doc__.
#pragma once

namespace quorvane::py::docs {

inline constexpr const char* kPriceAndGreeksConstantFlowLocalised =
    "price_and_greeks_constant_flow_localised(terminal_states, w_terminals, horizon, sigma_at_x0, d_sigma_dx, volatility, payoff, strike=0.0, bandwidth=None)\n--\n\n"
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

inline constexpr const char* kPriceAndGreeksTangentFlowLocalised =
    "price_and_greeks_tangent_flow_localised(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field, d2_sigma_dx2_field, horizon, payoff, strike=0.0, bandwidth=None)\n--\n\n"
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

inline constexpr const char* kBelWeightsAndVariationsTangentFlow =
    "bel_weights_and_variations_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon)\n--\n\n"
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
