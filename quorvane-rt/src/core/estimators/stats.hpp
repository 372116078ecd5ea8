// The one sample-statistics rule of the module.
//
// Plain sequential sums S1 = sum v, S2 = sum v*v (each square rounded before it is
// added, one accumulator each, strictly in index order), then
//   mean = S1 / N,  var = S2 / N - mean * mean  (clamped to +0.0 unless > 0),
//   stderr = sqrt(var / N).
// The population variance and this exact operation order are part of the
// results' bits; no compensated, pairwise or Welford summation.
#pragma once

#include <cmath>
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

struct RunningSums {
  double s1 = 0.0;
  double s2 = 0.0;
  void add(double v) noexcept {
    s1 = s1 + v;
    s2 = s2 + v * v;
  }
};

inline MeanStderr mean_and_stderr(double s1, double s2, std::uint64_t n) noexcept {
  const double count = static_cast<double>(n);
  const double mean = s1 / count;
  const double m2 = s2 / count;
  double var = m2 - mean * mean;
  // A strict test: negative values, -0.0 and NaN all become +0.0.
  if (!(var > 0.0)) var = 0.0;
  return MeanStderr{mean, std::sqrt(var / count)};
}

inline MeanStderr mean_and_stderr(const RunningSums& sums, std::uint64_t n) noexcept {
  return mean_and_stderr(sums.s1, sums.s2, n);
}

// The rule as the Greeks module applies it: the same operations in the same order,
// but a standard error that cannot be computed is NaN, never the clamp's 0.0. The
// variance is NaN exactly when the sums are not finite: a NaN or infinite mean
// (a NaN or infinite sample, or S1 beyond the doubles), or squares that overflow
// S2 beside a mean whose square overflows too. So no NaN or infinite estimate is
// reported with a finite standard error; every other result has the bits of
// mean_and_stderr.
inline MeanStderr greek_mean_and_stderr(const RunningSums& sums, std::uint64_t n) noexcept {
  const double count = static_cast<double>(n);
  const double mean = sums.s1 / count;
  const double m2 = sums.s2 / count;
  const double raw = m2 - mean * mean;
  double var = raw;
  if (!(var > 0.0)) var = 0.0;
  const double stderr_ = std::sqrt(var / count);  // NaN already for N = 0 (0 / 0)
  if ((!std::isfinite(mean) || std::isnan(raw)) && !std::isnan(stderr_)) {
    return MeanStderr{mean, std::numeric_limits<double>::quiet_NaN()};
  }
  return MeanStderr{mean, stderr_};
}

inline Estimate make_estimate(const RunningSums& payoff, const RunningSums& delta,
                              std::uint64_t n) noexcept {
  const MeanStderr p = mean_and_stderr(payoff, n);
  const MeanStderr d = mean_and_stderr(delta, n);
  return Estimate{p.mean, d.mean, p.stderr_, d.stderr_};
}

}  // namespace quorvane
