#include "core/weights/constant_flow.hpp"

#include <algorithm>

#include "core/kernels/kernels.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

Outcome<DoubleBuffer> bel_weights_constant_flow(const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  const double r = constant_flow_reciprocal(horizon, sigma_at_x0);
  const std::size_t n = w_terminals.length;
  DoubleBuffer out = DoubleBuffer::uninitialized(n);
  const detail::ScaleKernel scale = detail::kernels_for(active_kernel_target()).scale;
  // In chunks, so that a long call can be interrupted between two of them.
  for_each_interrupt_chunk(n, [&](std::size_t first, std::size_t last) {
    scale(VectorView{w_terminals.address(first), last - first, w_terminals.stride}, r,
          out.data() + first);
  });
  return out;
}

}  // namespace quorvane
