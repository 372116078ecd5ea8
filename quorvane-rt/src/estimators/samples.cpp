#include "estimators/samples.hpp"

namespace quorvane {

namespace {

// Each sum is one accumulator updated in index order, so the loop runs at the
// latency of one addition per element whatever the layout; the two chains
// (S1 and S2) overlap. The contiguous case only saves the address arithmetic.
template <bool Contiguous>
RunningSums sum(const VectorView& v) noexcept {
  RunningSums sums;
  const std::byte* p = v.data;
  const std::ptrdiff_t step = Contiguous ? static_cast<std::ptrdiff_t>(sizeof(double)) : v.stride;
  for (std::size_t i = 0; i < v.length; ++i, p += step) sums.add(load_double(p));
  return sums;
}

}  // namespace

RunningSums sum_samples(const VectorView& samples) noexcept {
  return samples.is_contiguous() ? sum<true>(samples) : sum<false>(samples);
}

}  // namespace quorvane
