#pragma once

// The checked arguments of a fused pass over a path batch, whatever its weights'
// recursion reads (`Paths`: the delta's inputs, the gamma's).

#include "core/payoffs/payoffs.hpp"
#include "core/views/views.hpp"

namespace quorvane {

template <class Paths>
struct PayoffPassInputs {
  Paths paths;
  VectorView terminal;  // the last column of states, X_N
  PayoffKind payoff;
};

// The same with the payoff's strike: the arguments of a whole call.
template <class Paths>
struct PayoffCallInputs : PayoffPassInputs<Paths> {
  double strike;
};

}  // namespace quorvane
