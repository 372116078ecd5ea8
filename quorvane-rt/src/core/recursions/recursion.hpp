// What every per-path recursion (delta_recursion.hpp, gamma_recursion.hpp,
// average_recursion.hpp) provides, so that the one group machinery
// (core/kernels/recursion_groups.hpp) and the one raw-then-fix-up driver
// (core/weights/recursion_weights.hpp) can run it.
//
// A recursion is a struct with:
//   Inputs           the validated bundle it reads;
//   kArrays          the per-step arrays, in the order a step reads them;
//                    array 0 is the sigma whose zero ends a path in the
//                    one-lane instance (arrays(inputs) lists the views);
//   n_paths, n_steps the counts of the inputs;
//   kPhases          consecutive step ranges [phase_end(p - 1), phase_end(p)),
//                    phase p reading the first kPhaseArrays[p] arrays (the
//                    last phase ends at n_steps);
//   kOutputs         the per-path results of finish;
//   Constants<L>     the per-call constants broadcast once per group;
//   State<L>         the running state of one lane vector of paths;
//   start(state)     the state before step 0;
//   step<P>(state, v, constants)
//                    one step of phase P from the operands v[0 .. kPhaseArrays[P]),
//                    in the recursion's fixed operation order;
//   finish(state, constants, out)
//                    the outputs out[0 .. kOutputs).
// A recursion that needs a backward pass also declares
//   kHistory         doubles stored per lane and step; start then takes
//                    start(state, history, step_doubles), the chain's entries
//                    of step 0 and the distance from one step's to the next,
//                    its steps store into them and finish reads them back
//                    (core/kernels/recursion_groups.hpp provides the storage).
// Recursions have internal linkage (anonymous namespace), like the lane traits,
// so that each target's translation unit keeps its own copies.
#pragma once

#include <cstddef>

#include "core/views/views.hpp"

namespace quorvane::detail {
namespace {

// The views of a recursion's per-step arrays, in its order (a plain array, so
// that code compiled for a wider target calls no inline function of another
// header on it).
template <std::size_t N>
struct ViewList {
  MatrixView m[N];
};

}  // namespace
}  // namespace quorvane::detail
