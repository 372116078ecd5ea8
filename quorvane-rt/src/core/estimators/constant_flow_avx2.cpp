// The constant-flow weight loop built for AVX2 (this file alone is compiled with
// -mavx2). Each weight is one rounded multiplication W_k * r whatever the vector
// width, so this gives the baseline loop's bits four at a time.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/estimators/constant_flow_kernels.hpp"

namespace quorvane::detail {

void scale_contiguous_avx2(const std::byte* in, std::size_t n, double r, double* out) noexcept {
  const __m256d vr = _mm256_set1_pd(r);
  const auto* x = reinterpret_cast<const double*>(in);
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    // 8 KiB ahead, once per cache line: the hardware prefetcher alone leaves a
    // long stream waiting on memory (support/prefetch.hpp; not included here so
    // that no inline function is compiled for AVX2).
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(x + k) + 8192), 0, 3);
    _mm256_storeu_pd(out + k, _mm256_mul_pd(_mm256_loadu_pd(x + k), vr));
    _mm256_storeu_pd(out + k + 4, _mm256_mul_pd(_mm256_loadu_pd(x + k + 4), vr));
  }
  for (; k < n; ++k) {
    double w;
    std::memcpy(&w, in + k * sizeof(double), sizeof w);
    out[k] = w * r;
  }
}

}  // namespace quorvane::detail
