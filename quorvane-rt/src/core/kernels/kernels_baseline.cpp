// The baseline build of the kernels that have one per target: two SSE2 lanes on
// x86-64 (BaselineLanes, lanes.hpp), the scalar one-lane build on arm64, where
// NEON is a target of its own.
#include "core/kernels/target_kernels.inl"

namespace quorvane::detail {

const TargetKernels& kernels_baseline() noexcept { return Kernels<BaselineLanes>::kTable; }

}  // namespace quorvane::detail
