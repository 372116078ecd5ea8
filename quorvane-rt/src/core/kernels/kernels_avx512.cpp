// The AVX-512 build of the kernels that have one per target. This file is
// compiled with -mavx512f (which, with GCC, does not enable FMA; the build never
// contracts in any case); its table is used only after kernels_for has checked
// that the CPU supports AVX-512F and that the OS saves its registers. As in
// kernels_avx2.cpp, the bodies read only data members of the views, never their
// member functions.
#include "core/kernels/target_kernels.inl"

namespace quorvane::detail {

const TargetKernels& kernels_avx512() noexcept { return Kernels<Avx512Lanes>::kTable; }

}  // namespace quorvane::detail
