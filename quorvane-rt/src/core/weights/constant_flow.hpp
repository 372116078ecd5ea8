// Constant-flow BEL weights: w_k = W_T,k * r with r = 1 / (T * sigma(X_0)).
//
// This holds for GBM (sigma(x) = s x) and ABM (constant sigma), where the tangent
// flow over sigma stays 1 / sigma(X_0) along every path.
#pragma once

#include "core/views/views.hpp"
#include "core/support/buffer.hpp"
#include "core/support/outcome.hpp"

namespace quorvane {

// The reciprocal is rounded once, product first: r = 1.0 / (horizon * sigma_at_x0).
// Multiplying by r differs in the last bit from dividing by the product, and this
// form is the one the weights are defined by.
inline double constant_flow_reciprocal(double horizon, double sigma_at_x0) noexcept {
  return 1.0 / (horizon * sigma_at_x0);
}

Outcome<DoubleBuffer> bel_weights_constant_flow(const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0);

}  // namespace quorvane
