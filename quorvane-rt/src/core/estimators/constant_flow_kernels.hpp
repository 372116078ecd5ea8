// Target-specific builds of the constant-flow weight loop (internal). Kept free
// of inline functions shared with baseline code: a copy of one compiled for AVX2
// could be the one the linker keeps for every caller.
#pragma once

#include <cstddef>

namespace quorvane::detail {

// out[k] = W_k * r for n contiguous doubles starting at `in` (any alignment).
void scale_contiguous_avx2(const std::byte* in, std::size_t n, double r, double* out) noexcept;

}  // namespace quorvane::detail
