// price_from_samples: the mean and standard error of a caller's payoff samples.
#pragma once

#include "core/views/views.hpp"
#include "core/statistics/statistics.hpp"

namespace quorvane {

// S1 and S2 over the view in logical index order, read in place (no copy).
// Throws Interrupted when the caller's poll asks it to stop.
LaneSums<1> sum_samples(const VectorView& samples);

inline MeanStderr price_from_samples(const VectorView& samples) {
  return lane_estimates(sum_samples(samples))[0];
}

}  // namespace quorvane
