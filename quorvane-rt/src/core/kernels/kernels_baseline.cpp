// The baseline (x86-64, SSE2) build of the kernels that have one per target.
#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/kernels/tangent_flow_lanes.hpp"

namespace quorvane::detail {

// Register-group widths chosen by measurement (bench_tangent_flow.cpp). The
// divider is the shared resource (about one division per cycle and a half
// whatever the vector width); three two-lane chains keep it busy behind the
// latency of the Y chain in C order. With arbitrary strides building each
// vector from scalar loads dominates and two chains do best.
void tangent_flow_raw_baseline(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                               double* out) noexcept {
  tangent_flow_raw<Sse2Lanes, 3, 2>(in, first, count, out);
}

void scale_baseline(const VectorView& w, double r, double* out) noexcept {
  scale_by_reciprocal<Sse2Lanes>(w, r, out);
}

}  // namespace quorvane::detail
