// Which build of the SIMD kernels a call runs.
//
// Every hot loop exists once per target, compiled from one body over lane
// traits (lanes.hpp); the target is chosen here, once per process, and a
// driver asks for it once per call. Each target gives the same bits: the lane
// count changes how many paths run side by side, never the operations of a path.
#pragma once

namespace quorvane {

enum class KernelTarget {
  baseline,  // x86-64 baseline (SSE2)
  avx2,      // AVX2; only valid where the CPU supports it
};

// True when `target` can run on this CPU.
bool kernel_target_supported(KernelTarget target) noexcept;
// An internal failure unless `target` can run on this CPU.
void require_kernel_target(KernelTarget target);

// The target chosen for this process: AVX2 when the CPU has it, unless the
// environment variable QUORVANE_KERNEL=baseline (read once, on first use) forces
// the baseline build.
KernelTarget active_kernel_target() noexcept;
// "avx2" or "baseline".
const char* kernel_target_name(KernelTarget target) noexcept;
inline const char* active_tangent_flow_kernel() noexcept {
  return kernel_target_name(active_kernel_target());
}

}  // namespace quorvane
