// The arm64 NEON build (two lanes) of the kernels that have one per target.
// Every arm64 processor has NEON, so this file needs no compiler flag; the same
// rules as for the x86-64 targets hold all the same (target_kernels.inl keeps
// everything but kernels_neon() internal).
#include "core/kernels/target_kernels.inl"

namespace quorvane::detail {

const TargetKernels& kernels_neon() noexcept { return Kernels<NeonLanes>::kTable; }

}  // namespace quorvane::detail
