// The AVX2 build of the raw tangent-flow kernel (this file alone is compiled with
// -mavx2, which does not enable FMA). It is only called after the driver has
// checked that the CPU supports AVX2.
#include "core/estimators/tangent_flow_kernels.hpp"
#include "core/kernels/tangent_flow_lanes.hpp"

namespace quorvane::detail {

void tangent_flow_raw_avx2(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                           double* out) noexcept {
  // Widths chosen by measurement (bench_tangent_flow.cpp): three four-lane
  // chains for C order; with arbitrary strides building the vectors lane by lane,
  // not the arithmetic, is the bottleneck and a single chain does best (wider
  // groups spill their lane offsets); Fortran order runs in blocks of paths.
  if (all_path_contiguous(in)) {
    path_block_kernel<Avx2Lanes, 256, 3>(in, first, count, out);
  } else if (all_step_contiguous(in)) {
    lane_kernel<Avx2Lanes, 3, LaneLayout::step_contiguous>(in, first, count, out);
  } else {
    lane_kernel<Avx2Lanes, 1, LaneLayout::gather>(in, first, count, out);
  }
}

}  // namespace quorvane::detail
