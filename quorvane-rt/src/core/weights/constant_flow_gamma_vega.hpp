// Constant-flow BEL gamma and vega weights (GBM sigma(x) = s x, ABM constant sigma).
//
// With W = W_T, sigma0 = sigma(X_0), sigma' = dsigma/dx (s for GBM, 0 for ABM)
// and v the volatility parameter (s for GBM, sigma for ABM):
//   gamma weight  (W^2 - sigma' T W - T) / (sigma0^2 T^2)
//   vega weight   T sigma0^2 * gamma weight / v = (W^2 - sigma' T W - T) / (T v)
// For GBM these are (W^2/(sT) - W - 1/s) / (X_0^2 s T) and W^2/(sT) - W - 1/s.
// Both share the numerator u = ((W * W) - (sigma' T * W)) - T, computed per path;
// the gamma is (u * r) * r with the delta's reciprocal r = 1 / (T sigma0), the
// vega u * h with h = 1 / (T v) (core/recursions/constant_flow_formulas.hpp).
#pragma once

#include "core/recursions/constant_flow_formulas.hpp"
#include "core/support/buffer.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// Fields not used by a caller (sigma0 for the vega weights, v for the gamma
// weights) may be passed as 1.0.
ConstantFlowGreekConstants constant_flow_greek_constants(double horizon, double sigma_at_x0,
                                                         double d_sigma_dx, double volatility) noexcept;

// Checks in this order: horizon > 0, sigma_at_x0 > 0, d_sigma_dx finite
// ("horizon must be positive", "sigma_at_x0 must be positive",
// "d_sigma_dx must be finite"); then out[k] = (u_k * r) * r.
Outcome<DoubleBuffer> bel_weights_gamma_constant_flow(const VectorView& w_terminals, double horizon,
                                                      double sigma_at_x0, double d_sigma_dx);

// Checks in this order: horizon > 0, d_sigma_dx finite, volatility > 0
// ("volatility must be positive"); then out[k] = u_k * h.
Outcome<DoubleBuffer> bel_weights_vega_constant_flow(const VectorView& w_terminals, double horizon,
                                                     double d_sigma_dx, double volatility);

}  // namespace quorvane
