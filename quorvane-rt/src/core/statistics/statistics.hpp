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

// The four sample sums of the fused estimator.
struct GreekSums {
  RunningSums payoff, delta, gamma, vega;
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

inline Estimate make_estimate(const RunningSums& payoff, const RunningSums& delta,
                              std::uint64_t n) noexcept {
  const MeanStderr p = mean_and_stderr(payoff, n);
  const MeanStderr d = mean_and_stderr(delta, n);
  return Estimate{p.mean, d.mean, p.stderr_, d.stderr_};
}

}  // namespace quorvane
