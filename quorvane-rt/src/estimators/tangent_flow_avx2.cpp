// The AVX2 build of the raw tangent-flow kernel (this file alone is compiled with
// -mavx2, which does not enable FMA). It is only called after the driver has
// checked that the CPU supports AVX2.
#include "estimators/tangent_flow_kernels.hpp"
#include "estimators/tangent_flow_lanes.hpp"

namespace quorvane::detail {

void tangent_flow_raw_avx2(const TangentFlowInputs& in, std::size_t first, std::size_t count,
                           double* out) noexcept {
  if (all_path_contiguous(in)) {
    lane_kernel<Avx2Lanes, 2, LaneLayout::path_contiguous>(in, first, count, out);
  } else if (all_step_contiguous(in)) {
    lane_kernel<Avx2Lanes, 2, LaneLayout::step_contiguous>(in, first, count, out);
  } else {
    lane_kernel<Avx2Lanes, 2, LaneLayout::gather>(in, first, count, out);
  }
}

}  // namespace quorvane::detail
