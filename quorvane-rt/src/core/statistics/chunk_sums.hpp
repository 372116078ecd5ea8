// Estimates from sums computed chunk by chunk (quorvane.dask): a chunk's sums
// as a flat row, and the statistics rule on rows added in chunk order.
//
// A row is [n, S1 of lane 0, S2 of lane 0, ..., S1 of lane K-1, S2 of lane K-1]:
// the LaneSums of the chunk's paths (n as a double, exact up to 2^53 paths).
// The rows of several chunks are added in row order, each total starting at
// +0.0, and the rule of statistics.hpp is applied once per lane. So one row is
// the estimator's own result bit for bit (+0.0 + s is s but for s = -0.0, where
// the sums of the estimators already start at +0.0); several rows give the same
// estimator with another order of additions than one pass over all the paths.
#pragma once

#include <cstddef>

#include "core/statistics/statistics.hpp"
#include "core/support/buffer.hpp"
#include "core/support/outcome.hpp"
#include "core/views/views.hpp"

namespace quorvane {

// The row of one chunk's sums.
template <std::size_t K>
DoubleBuffer chunk_sums_row(const LaneSums<K>& sums) {
  DoubleBuffer row = DoubleBuffer::uninitialized(1 + 2 * K);
  row[0] = static_cast<double>(sums.n);
  for (std::size_t k = 0; k < K; ++k) {
    row[1 + 2 * k] = sums.s1[k];
    row[2 + 2 * k] = sums.s2[k];
  }
  return row;
}

// The K estimates of the rows of `sums` added in row order: [mean of each
// lane, then the standard error of each lane], the order of the estimators'
// tuples. Validation errors: a row width that is not 1 + 2 K with K >= 1, a
// count that is not a whole number in [0, 2^53].
Outcome<DoubleBuffer> estimates_from_chunk_sums(const MatrixView& sums, UndefinedStderr undefined);

}  // namespace quorvane
