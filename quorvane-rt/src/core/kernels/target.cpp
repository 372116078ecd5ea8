#include "core/kernels/target.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/support/failure.hpp"

namespace quorvane {

bool kernel_target_supported(KernelTarget target) noexcept {
  switch (target) {
    case KernelTarget::baseline: return true;
    case KernelTarget::avx2:
#if defined(QUORVANE_AVX2_TARGET)
      return __builtin_cpu_supports("avx2");
#else
      return false;  // a build without the AVX2 objects
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

KernelTarget choose_kernel_target() noexcept {
  const char* forced = std::getenv("QUORVANE_KERNEL");
  if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return KernelTarget::baseline;
  return kernel_target_supported(KernelTarget::avx2) ? KernelTarget::avx2 : KernelTarget::baseline;
}

}  // namespace

KernelTarget active_kernel_target() noexcept {
  static const KernelTarget target = choose_kernel_target();
  return target;
}

const char* kernel_target_name(KernelTarget target) noexcept {
  return target == KernelTarget::avx2 ? "avx2" : "baseline";
}

}  // namespace quorvane
