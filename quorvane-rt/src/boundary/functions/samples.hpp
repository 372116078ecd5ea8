// The samples family: statistics of payoff samples the user computed, and of
// the chunk sums of any estimator.
//
// The family's table: its rows, which the module table
// (boundary/modules/modules.cpp) selects.
#pragma once

#include <string>

#include "boundary/functions/chunk_sums_docstrings.hpp"
#include "boundary/functions/results.hpp"
#include "boundary/functions/samples_docstrings.hpp"
#include "boundary/functions/table.hpp"
#include "core/estimates/samples.hpp"
#include "core/statistics/chunk_sums.hpp"

namespace quorvane::py::samples_table {

struct Samples {
  ReadonlyArray samples, sums;
  std::string_view undefined_stderr;
};
using A = Samples;

constexpr auto samples = param::vector("samples", &A::samples);
// Chunk sums, one row per chunk, then the name of the rule's variant.
constexpr auto sums = param::matrix("sums", &A::sums);
constexpr auto undefined_stderr = param::text("undefined_stderr", &A::undefined_stderr);

constexpr auto kPriceFromSamples =
    row("price_from_samples", list(samples), docs::kPriceFromSamples, [](const A& a) -> Fallible<PyRef> {
      const MeanStderr result = price_from_samples(a.samples.vector());
      return tuple_of_floats({result.mean, result.stderr_});
    });

constexpr auto kPriceFromSamplesSums =
    row("price_from_samples", list(samples), docs::kPriceFromSamplesSums,
        [](const A& a) { return sums_result<1>(sum_samples(a.samples.vector())); });

// undefined_stderr names the rule's variant, as UndefinedStderr does.
constexpr auto kEstimateFromSums = row(
    "estimate_from_sums", list(sums, undefined_stderr), docs::kEstimateFromSums, [](const A& a) -> Fallible<PyRef> {
      UndefinedStderr undefined;
      if (a.undefined_stderr == "zero") {
        undefined = UndefinedStderr::zero;
      } else if (a.undefined_stderr == "nan") {
        undefined = UndefinedStderr::nan;
      } else {
        return value_error("undefined_stderr must be 'zero' or 'nan', not '" + std::string(a.undefined_stderr) +
                           "'");
      }
      return outcome_result(estimates_from_chunk_sums(a.sums.matrix(), undefined), numpy::array_from_vector);
    });

}  // namespace quorvane::py::samples_table
