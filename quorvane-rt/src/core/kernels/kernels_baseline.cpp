// The baseline (x86-64, SSE2) build of the kernels that have one per target.
#include "core/kernels/target_kernels.inl"

namespace quorvane::detail {

const TargetKernels& kernels_baseline() noexcept { return Kernels<Sse2Lanes>::kTable; }

}  // namespace quorvane::detail
