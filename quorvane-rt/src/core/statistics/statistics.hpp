// The one sample-statistics rule of the module, and the one type it reads.
//
// Every estimate of a price_and_* function (and of price_from_samples) is a
// lane of LaneSums: the count N and, per lane, the plain sequential sums
// S1 = sum v, S2 = sum v*v (each square rounded before it is added, one
// accumulator each, strictly in path order). Then, per lane,
//   mean = S1 / N,  var = S2 / N - mean * mean  (clamped to +0.0 unless > 0),
//   stderr = sqrt(var / N).
// The population variance and this exact operation order are part of the
// results' bits; no compensated, pairwise or Welford summation.
//
// The Greeks module applies the rule with the same operations in the same
// order, but a standard error that cannot be computed is NaN, never the
// clamp's 0.0 (UndefinedStderr::nan). The variance is NaN exactly when the
// sums are not finite: a NaN or infinite mean (a NaN or infinite sample, or S1
// beyond the doubles), or squares that overflow S2 beside a mean whose square
// overflows too. So no NaN or infinite estimate is reported with a finite
// standard error; every other result has the bits of the plain rule.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace quorvane {

struct MeanStderr {
  double mean;
  double stderr_;
};

// (price, delta, price_stderr, delta_stderr), the order of the Python tuple.
struct Estimate {
  double price;
  double delta;
  double price_stderr;
  double delta_stderr;
};

// K estimates' sums over the same paths (lane k: the k-th sample of each path).
template <std::size_t K>
struct LaneSums {
  std::uint64_t n = 0;
  double s1[K] = {};
  double s2[K] = {};

  // One path's samples v[0 .. K), in path order.
  void add(const double (&v)[K]) noexcept {
    ++n;
    for (std::size_t k = 0; k < K; ++k) {
      s1[k] = s1[k] + v[k];
      s2[k] = s2[k] + v[k] * v[k];
    }
  }
};

// What a standard error that cannot be computed is reported as.
enum class UndefinedStderr { zero, nan };

inline MeanStderr mean_and_stderr(double s1, double s2, std::uint64_t n,
                                  UndefinedStderr undefined = UndefinedStderr::zero) noexcept {
  const double count = static_cast<double>(n);
  const double mean = s1 / count;
  const double m2 = s2 / count;
  const double raw = m2 - mean * mean;
  double var = raw;
  // A strict test: negative values, -0.0 and NaN all become +0.0.
  if (!(var > 0.0)) var = 0.0;
  const double stderr_ = std::sqrt(var / count);  // NaN already for N = 0 (0 / 0)
  if (undefined == UndefinedStderr::nan && (!std::isfinite(mean) || std::isnan(raw)) &&
      !std::isnan(stderr_))
    return MeanStderr{mean, std::numeric_limits<double>::quiet_NaN()};
  return MeanStderr{mean, stderr_};
}

// The rule applied to every lane.
template <std::size_t K>
std::array<MeanStderr, K> lane_estimates(
    const LaneSums<K>& sums, UndefinedStderr undefined = UndefinedStderr::zero) noexcept {
  std::array<MeanStderr, K> out;
  for (std::size_t k = 0; k < K; ++k)
    out[k] = mean_and_stderr(sums.s1[k], sums.s2[k], sums.n, undefined);
  return out;
}

// Lanes (payoff, delta) as the Python tuple orders them.
inline Estimate price_and_delta_estimate(const LaneSums<2>& sums) noexcept {
  const std::array<MeanStderr, 2> e = lane_estimates(sums);
  return Estimate{e[0].mean, e[1].mean, e[0].stderr_, e[1].stderr_};
}

}  // namespace quorvane
