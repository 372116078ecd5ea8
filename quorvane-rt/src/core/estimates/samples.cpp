#include "core/estimates/samples.hpp"

#include <algorithm>

#include "core/kernels/streams.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

// [S1, S2] is one two-lane register fed sample by sample, so the loop runs at
// the latency of one addition per sample whatever the vector width: the SSE2
// build is the only one (an AVX2 build would wait on the same chain). The walk
// goes in chunks, so that a long sum can be interrupted between two of them;
// the sums carry on from chunk to chunk, in index order as in one pass.
template <bool Contiguous>
LaneSums<1> sum(const VectorView& v) {
  detail::SampleSums<Contiguous> body{detail::Stream<Contiguous>::of(v)};
  for_each_interrupt_chunk(v.length, [&](std::size_t first, std::size_t last) {
    detail::walk<detail::Sse2Lanes>(body, first, last);
  });
  return body.sums.sums(v.length);
}

}  // namespace

LaneSums<1> sum_samples(const VectorView& samples) {
  return samples.is_contiguous() ? sum<true>(samples) : sum<false>(samples);
}

}  // namespace quorvane
