#include "core/estimators/constant_flow.hpp"

#include "core/kernels/kernels.hpp"

namespace quorvane {

Outcome<DoubleBuffer> bel_weights_constant_flow(const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  const double r = constant_flow_reciprocal(horizon, sigma_at_x0);
  DoubleBuffer out = DoubleBuffer::uninitialized(w_terminals.length);
  const detail::ScaleKernel scale = detail::kernel_for<detail::ScaleKernel>(
      active_kernel_target(), detail::scale_baseline, detail::scale_avx2);
  scale(w_terminals, r, out.data());
  return out;
}

}  // namespace quorvane
