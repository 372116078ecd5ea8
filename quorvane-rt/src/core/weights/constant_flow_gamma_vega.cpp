#include "core/weights/constant_flow_gamma_vega.hpp"

#include <algorithm>
#include <cmath>

#include "core/weights/constant_flow.hpp"
#include "core/kernels/kernels.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

ConstantFlowGreekConstants constant_flow_greek_constants(double horizon, double sigma_at_x0,
                                                         double d_sigma_dx, double volatility) noexcept {
  // The delta's reciprocal exactly as price_and_delta_constant_flow takes it; the
  // gamma multiplies by it twice rather than by its square (see the header).
  return ConstantFlowGreekConstants{constant_flow_reciprocal(horizon, sigma_at_x0),
                                    d_sigma_dx * horizon, horizon, 1.0 / (horizon * volatility)};
}

namespace {

DoubleBuffer greek_weights(const VectorView& w_terminals, const ConstantFlowGreekConstants& c,
                           GreekWeight kind) {
  const std::size_t n = w_terminals.length;
  DoubleBuffer out = DoubleBuffer::uninitialized(n);
  const detail::GreekWeightsKernel weights =
      detail::kernels_for(active_kernel_target()).greek_weights;
  // In chunks, so that a long call can be interrupted between two of them; each
  // weight is its own path's, so the chunking changes no bit.
  for_each_interrupt_chunk(n, [&](std::size_t first, std::size_t last) {
    weights(VectorView{w_terminals.address(first), last - first, w_terminals.stride}, c, kind,
            out.data() + first);
  });
  return out;
}

}  // namespace

Outcome<DoubleBuffer> bel_weights_gamma_constant_flow(const VectorView& w_terminals, double horizon,
                                                      double sigma_at_x0, double d_sigma_dx) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  if (!std::isfinite(d_sigma_dx)) return ValueFailure{"d_sigma_dx must be finite"};
  const ConstantFlowGreekConstants c =
      constant_flow_greek_constants(horizon, sigma_at_x0, d_sigma_dx, 1.0);
  return greek_weights(w_terminals, c, GreekWeight::gamma);
}

Outcome<DoubleBuffer> bel_weights_vega_constant_flow(const VectorView& w_terminals, double horizon,
                                                     double d_sigma_dx, double volatility) {
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!std::isfinite(d_sigma_dx)) return ValueFailure{"d_sigma_dx must be finite"};
  if (!(volatility > 0.0)) return ValueFailure{"volatility must be positive"};
  const ConstantFlowGreekConstants c =
      constant_flow_greek_constants(horizon, 1.0, d_sigma_dx, volatility);
  return greek_weights(w_terminals, c, GreekWeight::vega);
}

}  // namespace quorvane
