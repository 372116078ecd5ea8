// The drivers of the fast tangent-flow kernels (internal): one raw pass per
// chunk of paths, with no zero-sigma test, then the one-lane recursion for every
// path whose raw result is not finite, in increasing path order. Why that gives
// the one-lane bits, and reports the first zero sigma in row-major order, is
// argued beside each driver (tangent_flow.cpp, tangent_flow_gamma.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/weights/tangent_flow.hpp"

namespace quorvane::detail {

// From the bits: neither an infinity nor a NaN.
inline bool is_finite_bits(double x) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
  return (bits & kExponent) != kExponent;
}

// Paths [first, first + count) in chunks of `chunk`: raw(path, n, k) runs paths
// [path, path + n) into the results from index k on; then fix_up(k), for each k
// of the chunk in increasing order, recomputes the non-finite results of path
// first + k, or returns the zero sigma that ends the run; last, done(n).
template <class Raw, class FixUp, class Done>
std::optional<ZeroSigma> raw_then_fix_up(std::size_t first, std::size_t count, std::size_t chunk,
                                         Raw&& raw, FixUp&& fix_up, Done&& done) {
  for (std::size_t start = 0; start < count; start += chunk) {
    const std::size_t n = std::min(chunk, count - start);
    raw(first + start, n, start);
    for (std::size_t k = start; k < start + n; ++k) {
      if (std::optional<ZeroSigma> zero = fix_up(k)) return zero;
    }
    done(n);
  }
  return std::nullopt;
}

}  // namespace quorvane::detail
