#include "core/kernels/target.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(QUORVANE_AVX512_TARGET)
#include <cpuid.h>
#endif

#include "core/support/failure.hpp"

namespace quorvane {

#if defined(QUORVANE_AVX512_TARGET)
namespace {

// Whether the OS saves and restores the full AVX-512 register state on a
// context switch: XCR0 must enable the SSE and AVX state (bits 1, 2), the
// opmask registers (bit 5), the upper halves of ZMM0-15 (bit 6) and ZMM16-31
// (bit 7). A CPU can have AVX-512F while the OS leaves it off; XGETBV may only
// be executed where CPUID reports OSXSAVE.
bool os_saves_zmm_state() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) return false;
  std::uint32_t xcr0_lo = 0, xcr0_hi = 0;
  asm volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  constexpr std::uint32_t kZmmState = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
  return (xcr0_lo & kZmmState) == kZmmState;
}

}  // namespace
#endif

bool kernel_target_supported(KernelTarget target) noexcept {
  switch (target) {
    case KernelTarget::baseline: return true;
    case KernelTarget::avx2:
#if defined(QUORVANE_AVX2_TARGET)
      return __builtin_cpu_supports("avx2");
#else
      return false;  // a build without the AVX2 objects
#endif
    case KernelTarget::avx512: {
#if defined(QUORVANE_AVX512_TARGET)
      static const bool supported = __builtin_cpu_supports("avx512f") && os_saves_zmm_state();
      return supported;
#else
      return false;  // a build without the AVX-512 objects
#endif
    }
    case KernelTarget::neon:
#if defined(QUORVANE_NEON_TARGET)
      return true;  // Advanced SIMD is part of every arm64 processor
#else
      return false;  // not an arm64 build
#endif
  }
  return false;
}

void require_kernel_target(KernelTarget target) {
  if (!kernel_target_supported(target))
    fail(std::string("kernel target '") + kernel_target_name(target) +
         "' is not supported by this cpu");
}

namespace {

// The order of preference when QUORVANE_KERNEL names no target. AVX2 comes
// before AVX-512: on an AVX-512 Xeon the 8-lane kernels gave the same bits but
// no gain where the kernels are bound by memory reads, and lost where they are
// not (the constant-flow Greeks at 10^5 paths 146 us against 91 us, the gamma
// weights at 65,536 x 256 37 ms against 27 ms): the divider, not the width,
// bounds these recursions. QUORVANE_KERNEL=avx512 still selects it.
constexpr KernelTarget kByPreference[] = {KernelTarget::avx2, KernelTarget::avx512,
                                          KernelTarget::neon, KernelTarget::baseline};

}  // namespace

KernelTarget kernel_target_for(const char* forced) noexcept {
  if (forced != nullptr) {
    for (KernelTarget target : kByPreference)
      if (std::strcmp(forced, kernel_target_name(target)) == 0) return target;
  }
  for (KernelTarget target : kByPreference)
    if (kernel_target_supported(target)) return target;
  return KernelTarget::baseline;
}

KernelTarget active_kernel_target() noexcept {
  static const KernelTarget target = kernel_target_for(std::getenv("QUORVANE_KERNEL"));
  return target;
}

const char* kernel_target_name(KernelTarget target) noexcept {
  switch (target) {
    case KernelTarget::avx2: return "avx2";
    case KernelTarget::avx512: return "avx512";
    case KernelTarget::neon: return "neon";
    case KernelTarget::baseline: break;
  }
  return "baseline";
}

}  // namespace quorvane
