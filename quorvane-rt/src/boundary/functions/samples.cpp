// The samples family: statistics of payoff samples the user computed.
#include "boundary/functions/functions.hpp"
#include "boundary/functions/results.hpp"
#include "boundary/functions/samples_docstrings.hpp"
#include "boundary/functions/table.hpp"
#include "core/estimates/samples.hpp"

namespace quorvane::py {

namespace {

struct Samples {
  ReadonlyArray samples;
};
using A = Samples;

constexpr auto samples = param::vector("samples", &A::samples);

constexpr auto kPriceFromSamples =
    row("price_from_samples", list(samples), docs::kPriceFromSamples, [](const A& a) -> Fallible<PyRef> {
      const MeanStderr result = price_from_samples(a.samples.vector());
      return tuple_of_floats({result.mean, result.stderr_});
    });

}  // namespace

constinit const FunctionRecord rows::price_from_samples = record<kPriceFromSamples>();

}  // namespace quorvane::py
