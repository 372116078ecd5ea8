// Helpers shared by the native tests of the tangent-flow estimators: bit
// comparison, the kernel targets this CPU runs, and the one-lane scan that the
// fast kernels are checked against.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/estimators/tangent_flow.hpp"
#include "core/kernels/target.hpp"

namespace quorvane::test_support {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline std::uint64_t bits_of(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Finite values must agree bit for bit; NaN only in kind (its payload may
// legitimately depend on the operand order a compiler picks for a commutative
// operation, which the reference does not pin down).
inline void expect_same_value(double expected, double actual, const std::string& where) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << where;
  } else {
    EXPECT_EQ(bits_of(expected), bits_of(actual))
        << where << ": expected " << expected << " got " << actual;
  }
}

// Every kernel target, narrowest first; a target added to KernelTarget joins
// here, and every native test of the kernels then covers it on a CPU that has
// it (and skips it on one that has not).
inline constexpr KernelTarget kEveryKernelTarget[] = {KernelTarget::baseline, KernelTarget::avx2};

// The targets this CPU runs, narrowest first.
inline std::vector<KernelTarget> supported_targets() {
  std::vector<KernelTarget> t;
  for (KernelTarget target : kEveryKernelTarget)
    if (kernel_target_supported(target)) t.push_back(target);
  return t;
}

// The one-lane scan of paths [first, first + count) in row-major order: keep(r,
// path) for the result r = one_lane(path) of every path before the first zero
// sigma, which is returned.
template <class OneLane, class Keep>
std::optional<ZeroSigma> scan_paths(std::size_t first, std::size_t count, OneLane&& one_lane,
                                    Keep&& keep) {
  for (std::size_t path = first; path < first + count; ++path) {
    const auto r = one_lane(path);
    if (!r.ok()) return ZeroSigma{path, *r.zero_sigma_step};
    keep(r, path);
  }
  return std::nullopt;
}

}  // namespace quorvane::test_support
