// Which build of the SIMD kernels a call runs.
//
// Every hot loop exists once per target, compiled from one body over lane
// traits (lanes.hpp); the target is chosen here, once per process, and a
// driver asks for it once per call. Each target gives the same bits: the lane
// count changes how many paths run side by side, never the operations of a path.
#pragma once

namespace quorvane {

enum class KernelTarget {
  baseline,  // x86-64 baseline (SSE2); on arm64 the scalar, one-lane build
  avx2,      // AVX2; only valid where the CPU supports it
  avx512,    // AVX-512F; only valid where the CPU and the OS support it
  neon,      // arm64 NEON (Advanced SIMD, two lanes); only in an arm64 build
};

// True when `target` can run on this CPU.
bool kernel_target_supported(KernelTarget target) noexcept;
// An internal failure unless `target` can run on this CPU.
void require_kernel_target(KernelTarget target);

// The target chosen for this process: AVX2 where the CPU has it, then AVX-512,
// then the baseline on x86-64 (target.cpp says why AVX2 comes first); NEON on
// arm64. The environment variable QUORVANE_KERNEL (read once, on first use)
// may name one: "baseline", "avx2", "avx512" or "neon" forces that build, and
// a forced target this build or CPU lacks fails every call that needs a kernel
// (require_kernel_target); any other value is ignored.
KernelTarget active_kernel_target() noexcept;
// The choice active_kernel_target makes for a QUORVANE_KERNEL value (nullptr
// when the variable is unset).
KernelTarget kernel_target_for(const char* forced) noexcept;
// "avx512", "avx2", "neon" or "baseline".
const char* kernel_target_name(KernelTarget target) noexcept;
inline const char* active_tangent_flow_kernel() noexcept {
  return kernel_target_name(active_kernel_target());
}

}  // namespace quorvane
