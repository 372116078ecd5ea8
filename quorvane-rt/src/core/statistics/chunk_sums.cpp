#include "core/statistics/chunk_sums.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quorvane {

namespace {

std::string shown(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace

Outcome<DoubleBuffer> estimates_from_chunk_sums(const MatrixView& sums, UndefinedStderr undefined) {
  if (sums.cols < 3 || sums.cols % 2 == 0) {
    return ValueFailure{"sums must have 1 + 2 K columns (the count, then S1 and S2 of each of K "
                        "lanes), got " + std::to_string(sums.cols)};
  }
  const std::size_t lanes = (sums.cols - 1) / 2;
  constexpr double kLargestCount = 0x1p53;  // every whole number up to it is a double
  std::uint64_t n = 0;
  std::vector<double> total(sums.cols - 1, 0.0);  // S1, S2 of each lane, from +0.0
  for (std::size_t i = 0; i < sums.rows; ++i) {
    const double count = sums(i, 0);
    if (!(count >= 0.0 && count <= kLargestCount && count == std::floor(count))) {
      return ValueFailure{"sums[" + std::to_string(i) + ", 0] = " + shown(count) +
                          " is not a count of paths"};
    }
    if (static_cast<std::uint64_t>(count) > UINT64_MAX - n)
      return ValueFailure{"sums: the counts add up to more than 2^64 - 1 paths"};
    n += static_cast<std::uint64_t>(count);
    for (std::size_t c = 1; c < sums.cols; ++c) total[c - 1] = total[c - 1] + sums(i, c);
  }
  DoubleBuffer out = DoubleBuffer::uninitialized(2 * lanes);
  for (std::size_t k = 0; k < lanes; ++k) {
    const MeanStderr e = mean_and_stderr(total[2 * k], total[2 * k + 1], n, undefined);
    out[k] = e.mean;
    out[lanes + k] = e.stderr_;
  }
  return out;
}

}  // namespace quorvane
