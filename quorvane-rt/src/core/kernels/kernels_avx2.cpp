// The AVX2 build of the kernels that have one per target. This file is compiled
// with -mavx2 (which does not enable FMA); its entry points are called only
// after kernel_for has checked that the CPU supports AVX2. The bodies read only
// data members of the views, never their member functions: those are inline
// functions of external linkage, and a copy compiled here could be the one the
// linker keeps for every caller.
#include "core/kernels/kernels.hpp"
#include "core/kernels/streams.hpp"
#include "core/kernels/tangent_flow_lanes.hpp"

namespace quorvane::detail {

// Three four-lane chains for C order; with arbitrary strides building the
// vectors lane by lane, not the arithmetic, is the bottleneck and a single
// chain does best (wider groups spill their lane offsets).
void tangent_flow_raw_avx2(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                           double* out) noexcept {
  tangent_flow_raw<Avx2Lanes, 3, 1>(in, first, count, out);
}

void scale_avx2(const VectorView& w, double r, double* out) noexcept {
  scale_by_reciprocal<Avx2Lanes>(w, r, out);
}

}  // namespace quorvane::detail
