// The AVX2 builds of the raw tangent-flow gamma kernels (this file alone is
// compiled with -mavx2, which does not enable FMA). They are only called after
// the driver has checked that the CPU supports AVX2.
#include "core/estimators/tangent_flow_gamma_kernels.hpp"
#include "core/kernels/tangent_flow_gamma_lanes.hpp"

namespace quorvane::detail {

// Register chains per layout (C order, Fortran order, any strides), chosen by
// measurement like the baseline's.
void tangent_flow_gamma_raw_avx2(const TangentFlowGammaInputs& in, std::size_t first,
                                 std::size_t count, double* gamma_out, double*) noexcept {
  gamma_raw<Avx2Lanes, 2, 2, 1, false>(in, first, count, gamma_out, nullptr);
}

void tangent_flow_delta_gamma_raw_avx2(const TangentFlowGammaInputs& in, std::size_t first,
                                       std::size_t count, double* gamma_out,
                                       double* delta_out) noexcept {
  gamma_raw<Avx2Lanes, 2, 2, 1, true>(in, first, count, gamma_out, delta_out);
}

}  // namespace quorvane::detail
