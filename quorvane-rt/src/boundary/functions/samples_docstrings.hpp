// Docstrings of the samples family: the body of each, which follows the text
// signature that the function table writes from the row's parameters.
#pragma once

#include <string_view>

namespace quorvane::py::docs {

inline constexpr std::string_view kPriceFromSamples =
    "Low-level: plain Monte Carlo mean and standard error from terminal\n"
    "payoff samples, provided for symmetry so that NumPy users need not\n"
    "write their own variance accumulator.\n"
    "\n"
    "`samples` is a 1-D float64 array (any strides, never copied). Returns\n"
    "`(mean, stderr)`: sequential sums in index order, the population\n"
    "variance (divisor n) clamped at zero, and stderr = sqrt(var / n).";

}  // namespace quorvane::py::docs
