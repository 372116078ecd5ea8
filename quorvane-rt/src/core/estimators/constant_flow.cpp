#include "core/estimators/constant_flow.hpp"

#include <algorithm>

#include "core/estimators/constant_flow_kernels.hpp"
#include "core/kernels/target.hpp"
#include "core/support/interrupt.hpp"
#include "core/support/prefetch.hpp"

namespace quorvane {

namespace {

// o[k] = W_k * r over the view.
void scale(const VectorView& w_terminals, double r, double* o, bool avx2) noexcept {
  const std::size_t n = w_terminals.length;
  if (w_terminals.is_contiguous()) {
    const std::byte* p = w_terminals.data;
    if (avx2) {
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
}

}  // namespace

Outcome<DoubleBuffer> bel_weights_constant_flow(const VectorView& w_terminals, double horizon,
                                                double sigma_at_x0) {
  // Strict tests: zero, -0.0, negative values and NaN fail; +inf passes.
  if (!(horizon > 0.0)) return ValueFailure{"horizon must be positive"};
  if (!(sigma_at_x0 > 0.0)) return ValueFailure{"sigma_at_x0 must be positive"};
  const double r = constant_flow_reciprocal(horizon, sigma_at_x0);
  const std::size_t n = w_terminals.length;
  DoubleBuffer out = DoubleBuffer::uninitialized(n);
  const bool avx2 = active_kernel_target() == KernelTarget::avx2;
  // In chunks, so that a long call can be interrupted between two of them.
  InterruptBudget budget;
  for (std::size_t first = 0; first < n; first += kInterruptChunk) {
    const std::size_t count = std::min(kInterruptChunk, n - first);
    scale(VectorView{w_terminals.address(first), count, w_terminals.stride}, r, out.data() + first,
          avx2);
    budget.spend(count);
  }
  return out;
}

}  // namespace quorvane
