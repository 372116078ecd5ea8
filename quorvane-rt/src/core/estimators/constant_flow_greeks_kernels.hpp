// Target-specific builds of the constant-flow Greeks loops (internal). Each lives
// in a translation unit compiled for its target; they share only these
// declarations, so no inline function compiled for AVX2 can be merged by the
// linker into baseline code.
#pragma once

#include <cstddef>

#include "core/estimators/constant_flow_greeks.hpp"
#include "core/estimators/payoff.hpp"

namespace quorvane::detail {

// out[k] = u_k * factor over the view (factor g or h).
void constant_flow_greek_weights_baseline(const VectorView& w_terminals,
                                          const ConstantFlowGreekConstants& c, double factor,
                                          double* out) noexcept;
void constant_flow_greek_weights_avx2(const VectorView& w_terminals,
                                      const ConstantFlowGreekConstants& c, double factor,
                                      double* out) noexcept;

// The four sample sums of the fused loop, paths in index order.
GreekSums constant_flow_greek_sums_baseline(PayoffKind kind, double strike,
                                            const VectorView& terminal_states,
                                            const VectorView& w_terminals,
                                            const ConstantFlowGreekConstants& c) noexcept;
GreekSums constant_flow_greek_sums_avx2(PayoffKind kind, double strike,
                                        const VectorView& terminal_states,
                                        const VectorView& w_terminals,
                                        const ConstantFlowGreekConstants& c) noexcept;

}  // namespace quorvane::detail
