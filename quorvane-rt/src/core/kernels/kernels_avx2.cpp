// The AVX2 build of the kernels that have one per target. This file is compiled
// with -mavx2 (which does not enable FMA); its table is used only after
// kernels_for has checked that the CPU supports AVX2. The bodies read only data
// members of the views, never their member functions: those are inline
// functions of external linkage, and a copy compiled here could be the one the
// linker keeps for every caller.
#include "core/kernels/target_kernels.inl"

namespace quorvane::detail {

const TargetKernels& kernels_avx2() noexcept { return Kernels<Avx2Lanes>::kTable; }

}  // namespace quorvane::detail
