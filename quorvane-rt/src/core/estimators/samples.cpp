#include "core/estimators/samples.hpp"

#include <algorithm>

#include "core/support/interrupt.hpp"
#include "core/support/prefetch.hpp"

namespace quorvane {

namespace {

// Each sum is one accumulator updated in index order, so the loop runs at the
// latency of one addition per element whatever the layout; the two chains
// (S1 and S2) overlap. They must stay in separate scalar registers: gcc 12
// otherwise packs the pair into one vector whose accumulator it keeps on the
// stack, which puts a store and a reload on the chain (1.5x slower). The
// attribute is gcc's own; clang does not know it, so it is left out there.
template <bool Contiguous>
#if !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
RunningSums sum(const VectorView& v, RunningSums start) noexcept {
  double s1 = start.s1, s2 = start.s2;
  const std::byte* p = v.data;
  const std::ptrdiff_t step = Contiguous ? static_cast<std::ptrdiff_t>(sizeof(double)) : v.stride;
  std::size_t i = 0;
  if constexpr (Contiguous) {
    // One prefetch per cache line of eight samples.
    for (; i + 8 <= v.length; i += 8, p += 64) {
      prefetch_ahead(p);
      for (int k = 0; k < 8; ++k) {
        const double x = load_double(p + 8 * k);
        s1 = s1 + x;
        s2 = s2 + x * x;
      }
    }
  }
  for (; i < v.length; ++i, p += step) {
    const double x = load_double(p);
    s1 = s1 + x;
    s2 = s2 + x * x;
  }
  return RunningSums{s1, s2};
}

}  // namespace

RunningSums sum_samples(const VectorView& samples) {
  // In chunks, so that a long sum can be interrupted between two of them; the
  // sums carry on from chunk to chunk, in index order as in one pass.
  const bool contiguous = samples.is_contiguous();
  InterruptBudget budget;
  RunningSums sums;
  for (std::size_t first = 0; first < samples.length; first += kInterruptChunk) {
    const std::size_t n = std::min(kInterruptChunk, samples.length - first);
    const VectorView part{samples.address(first), n, samples.stride};
    sums = contiguous ? sum<true>(part, sums) : sum<false>(part, sums);
    budget.spend(n);
  }
  return sums;
}

}  // namespace quorvane
