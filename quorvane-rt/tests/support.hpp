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
#include <string_view>
#include <vector>

#include "core/weights/tangent_flow.hpp"
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

// The built-in payoffs spelled plainly, independently of the payoff table:
// "d if d > 0 else +0.0" gives +0.0 for a NaN difference.
inline double plain_payoff(std::string_view name, double strike, double x) {
  if (name == "identity") return x;
  if (name == "call") return x - strike > 0.0 ? x - strike : 0.0;
  if (name == "put") return strike - x > 0.0 ? strike - x : 0.0;
  if (name == "digital_call") return strike < x ? 1.0 : 0.0;
  ADD_FAILURE() << "no plain payoff " << name;
  return 0.0;
}

// A plain running sum and sum of squares, one accumulator each, in index order.
struct PlainSums {
  double s1 = 0.0, s2 = 0.0;
  void add(double v) {
    s1 = s1 + v;
    s2 = s2 + v * v;
  }
};

inline constexpr std::string_view kPayoffNames[] = {"identity", "call", "put", "digital_call"};

// Every kernel target, narrowest first; a target added to KernelTarget joins
// here, and every native test of the kernels then covers it on a CPU that has
// it (and skips it on one that has not).
inline constexpr KernelTarget kEveryKernelTarget[] = {KernelTarget::baseline, KernelTarget::neon,
                                                     KernelTarget::avx2, KernelTarget::avx512};

// What the selection picks when QUORVANE_KERNEL names no target: AVX2 where the
// CPU has it, else AVX-512, else NEON (an arm64 build), else the baseline.
inline KernelTarget automatic_target() {
  for (KernelTarget target : {KernelTarget::avx2, KernelTarget::avx512, KernelTarget::neon})
    if (kernel_target_supported(target)) return target;
  return KernelTarget::baseline;
}

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
