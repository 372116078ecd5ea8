// The constant-flow Greeks loops built for AVX2 (this file alone is compiled with
// -mavx2, which does not enable FMA). Every lane performs its own path's
// operations in order and the sums take the paths in index order, so these give
// the baseline loops' bits four paths at a time.
#include "core/estimators/constant_flow_greeks_kernels.hpp"
#include "core/kernels/constant_flow_greeks_lanes.hpp"

namespace quorvane::detail {

void constant_flow_greek_weights_avx2(const VectorView& w_terminals,
                                      const ConstantFlowGreekConstants& c, double factor,
                                      double* out) noexcept {
  cf_greek_weights<Avx2Lanes>(w_terminals, c, factor, out);
}

GreekSums constant_flow_greek_sums_avx2(PayoffKind kind, double strike,
                                        const VectorView& terminal_states,
                                        const VectorView& w_terminals,
                                        const ConstantFlowGreekConstants& c) noexcept {
  return cf_greek_sums<Avx2Lanes>(kind, strike, terminal_states, w_terminals, c);
}

}  // namespace quorvane::detail
