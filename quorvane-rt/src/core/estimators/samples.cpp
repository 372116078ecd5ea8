#include "core/estimators/samples.hpp"

#include "core/kernels/streams.hpp"

namespace quorvane {

namespace {

// [S1, S2] is one two-lane accumulator fed sample by sample, so the loop runs at
// the latency of one addition per sample whatever the vector width: the SSE2
// build is the only one (an AVX2 build would wait on the same chain).
template <bool Contiguous>
RunningSums sum(const VectorView& v) noexcept {
  detail::SampleSums<Contiguous> body{detail::Stream<Contiguous>::of(v)};
  detail::walk<detail::Sse2Lanes>(body, 0, v.length);
  return RunningSums{body.sums.first(), body.sums.second()};
}

}  // namespace

RunningSums sum_samples(const VectorView& samples) noexcept {
  return samples.is_contiguous() ? sum<true>(samples) : sum<false>(samples);
}

}  // namespace quorvane
