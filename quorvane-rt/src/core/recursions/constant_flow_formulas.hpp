// The constant-flow per-path formulas' constants (GBM sigma(x) = s x, ABM
// constant sigma): no recursion over steps, one closed form per path, computed
// by core/weights/constant_flow_gamma_vega.cpp once per call.
//
// With W = W_T, sigma0 = sigma(X_0), sigma' = dsigma/dx and v the volatility
// parameter, the gamma and vega weights share the numerator
//   u = ((W * W) - (sigma' T * W)) - T        (W^2 - sigma' T W - T)
// rounded in exactly this order; gamma weight = u * g, vega weight = u * h.
#pragma once

#include "core/lanes/lanes.hpp"

namespace quorvane {

// The per-call constants of the constant-flow Greeks, each rounded once:
//   r = 1.0 / (T * sigma0)            (the delta's, as constant_flow_reciprocal)
//   slope_t = sigma' * T
//   g = 1.0 / ((T * sigma0) * (T * sigma0))
//   h = 1.0 / (T * v)
struct ConstantFlowGreekConstants {
  double r;
  double slope_t;
  double horizon;
  double g;
  double h;
};

namespace detail {
namespace {

// u = ((W * W) - (slope_t * W)) - T, lane by lane.
template <class L>
inline typename L::V constant_flow_numerator(typename L::V w,
                                             const ConstantFlowGreekConstants& c) noexcept {
  return L::sub(L::sub(L::mul(w, w), L::mul(L::set1(c.slope_t), w)), L::set1(c.horizon));
}

}  // namespace
}  // namespace detail

}  // namespace quorvane
