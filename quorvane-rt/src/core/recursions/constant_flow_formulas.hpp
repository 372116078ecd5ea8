// The constant-flow per-path formulas' constants (GBM sigma(x) = s x, ABM
// constant sigma): no recursion over steps, one closed form per path, computed
// by core/weights/constant_flow_gamma_vega.cpp once per call.
//
// With W = W_T, sigma0 = sigma(X_0), sigma' = dsigma/dx and v the volatility
// parameter, the gamma and vega weights share the numerator
//   u = ((W * W) - (sigma' T * W)) - T        (W^2 - sigma' T W - T)
// rounded in exactly this order; gamma weight = (u * r) * r, vega weight =
// u * h. The gamma divides by (T sigma0)^2 as two multiplications by the
// delta's reciprocal r = 1 / (T sigma0), one after the other: a factor
// 1 / (T sigma0)^2 rounded once would overflow or underflow for |T sigma0|
// beyond about 2^+-511 although the gamma itself is representable (GBM is
// scale-invariant: scaling X_T, K and sigma0 by 2^k scales the gamma by 2^-k,
// exactly, whatever k the doubles allow); with r applied twice every
// intermediate stays within the range of the inputs and of the answer.
#pragma once

#include "core/lanes/lanes.hpp"

namespace quorvane {

// The per-call constants of the constant-flow Greeks, each rounded once:
//   r = 1.0 / (T * sigma0)            (the delta's, as constant_flow_reciprocal;
//                                      the gamma's factor, applied twice)
//   slope_t = sigma' * T
//   h = 1.0 / (T * v)
struct ConstantFlowGreekConstants {
  double r;
  double slope_t;
  double horizon;
  double h;
};

// Which weight the weights kernel writes: the gamma's (u * r) * r or the vega's u * h.
enum class GreekWeight { gamma, vega };

namespace detail {
namespace {

// u = ((W * W) - (slope_t * W)) - T, lane by lane.
template <class L>
inline typename L::V constant_flow_numerator(typename L::V w,
                                             const ConstantFlowGreekConstants& c) noexcept {
  return L::sub(L::sub(L::mul(w, w), L::mul(L::set1(c.slope_t), w)), L::set1(c.horizon));
}

// The weight of numerator u.
template <GreekWeight Kind, class L>
inline typename L::V constant_flow_weight(typename L::V u,
                                          const ConstantFlowGreekConstants& c) noexcept {
  if constexpr (Kind == GreekWeight::gamma) {
    return L::mul(L::mul(u, L::set1(c.r)), L::set1(c.r));
  } else {
    return L::mul(u, L::set1(c.h));
  }
}

}  // namespace
}  // namespace detail

}  // namespace quorvane
