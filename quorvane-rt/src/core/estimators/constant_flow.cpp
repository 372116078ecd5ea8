#include "core/estimators/constant_flow.hpp"

#include "core/estimators/constant_flow_kernels.hpp"
#include "core/kernels/target.hpp"
#include "core/support/prefetch.hpp"

namespace quorvane {

Outcome<DoubleBuffer> bel_weights_constant_flow(const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  const double r = constant_flow_reciprocal(horizon, sigma_at_x0);
  const std::size_t n = w_terminals.length;
  DoubleBuffer out = DoubleBuffer::uninitialized(n);
  double* o = out.data();
  if (w_terminals.is_contiguous()) {
    const std::byte* p = w_terminals.data;
    if (active_kernel_target() == KernelTarget::avx2) {
      detail::scale_contiguous_avx2(p, n, r, o);
    } else {
      std::size_t k = 0;
      for (; k + 8 <= n; k += 8) {  // one prefetch per cache line
        prefetch_ahead(p + k * sizeof(double));
        for (std::size_t i = k; i < k + 8; ++i) o[i] = load_double(p + i * sizeof(double)) * r;
      }
      for (; k < n; ++k) o[k] = load_double(p + k * sizeof(double)) * r;
    }
  } else {
    for (std::size_t k = 0; k < n; ++k) o[k] = w_terminals[k] * r;
  }
  return out;
}

}  // namespace quorvane
