// The constant-flow per-path formulas' constants (GBM sigma(x) = s x, ABM
// constant sigma): no recursion over steps, one closed form per path, computed
// by core/weights/constant_flow_gamma_vega.cpp once per call.
#pragma once

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

}  // namespace quorvane
