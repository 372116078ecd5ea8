// The parallel tangent-flow weights: the serial recursion, spread over the
// process-wide worker pool in at most as many contiguous blocks of paths as the
// pool has threads. Every weight is computed by the same kernel from the same
// data and written to its own slot, so the result has exactly the bits of the
// serial function, whatever the thread count and the scheduling.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "core/weights/average.hpp"
#include "core/weights/tangent_flow.hpp"
#include "core/weights/tangent_flow_gamma.hpp"

namespace quorvane {

// A contiguous run of paths and the slice of the output that receives them.
struct PathBlock {
  std::size_t first;
  std::size_t count;
  double* out;
};

// Blocks of B = max(1, ceil(n_paths / threads)) paths, in index order; the last
// may be shorter. No block when n_paths is 0.
std::vector<PathBlock> make_path_blocks(std::size_t n_paths, std::size_t threads, double* out);

// The work of one block of a parallel per-path estimator: paths [first, first +
// count) into out[0 .. count), or the first zero sigma (row-major) it met.
using BlockKernel = std::optional<ZeroSigma> (*)(const void* context, std::size_t first,
                                                 std::size_t count, double* out);

// Runs `kernel` over the blocks of make_path_blocks(n_paths, pool threads, out)
// on the process-wide pool (building it on first use) and returns the failure of
// the lowest failing block, if any. A block that starts after another block has
// failed is skipped, and a running one stops at its next chunk; its slice is
// then unspecified.
//
// A block is handed to `kernel` in chunks of about kInterruptPollWork units of
// work (`work_per_path` units per path, e.g. its number of steps), and between
// two chunks it stops when the call is asked to: so when the calling thread's
// interrupt poll (core/support/interrupt.hpp) says stop while it waits, the
// blocks end within a chunk, and this throws Interrupted once no worker touches
// `out` or the inputs any more. Inside a chunk the kernels read the stop flag
// too, between two runs of kKernelPaceSteps steps of a path group, so a block
// of one very long path stops as quickly. Chunking never changes a result: each
// path is computed by the kernel on its own.
std::optional<ZeroSigma> run_path_blocks(std::size_t n_paths, double* out, BlockKernel kernel,
                                         const void* context, std::size_t work_per_path = 1);

// The per-path outputs of a recursion for every path, on the pool: M arrays of
// n_paths doubles in `out`, filled by run_path_blocks. `fill(first, count, at)`
// computes paths [first, first + count) into at[m][0 .. count) for each output
// m (at[m] is the first of those paths' slots in out[m]) and returns the first
// zero sigma it met, as a BlockKernel does. Each element is written by exactly
// one block before anything reads it, so the buffers get no zero fill, and the
// first touch of their pages is spread over the workers. A path's outputs are
// those the same kernel gives it on the calling thread, whatever the blocks:
// this is what the parallel weights and the parallel estimators (which then
// sum the stored outputs in path order on the caller) are built on.
template <std::size_t M, class Fill>
std::optional<ZeroSigma> path_outputs_parallel(std::array<DoubleBuffer, M>& out,
                                               std::size_t n_paths, std::size_t work_per_path,
                                               const Fill& fill) {
  static_assert(M >= 1);
  struct Context {
    const Fill& fill;
    std::array<double*, M> base;
  } context{fill, {}};
  for (std::size_t m = 0; m < M; ++m) {
    out[m] = DoubleBuffer::uninitialized(n_paths);
    context.base[m] = out[m].data();
  }
  // The driver hands each block its slice of output 0; the others are found
  // from the same first path.
  const BlockKernel kernel = [](const void* c, std::size_t first, std::size_t count, double*) {
    const Context& k = *static_cast<const Context*>(c);
    std::array<double*, M> at;
    for (std::size_t m = 0; m < M; ++m) at[m] = k.base[m] + first;
    return k.fill(first, count, at);
  };
  return run_path_blocks(n_paths, context.base[0], kernel, &context, work_per_path);
}

// What a parallel call does while it still holds the interpreter lock, before
// it releases it: reads the environment that the pool's build and the kernel
// choice depend on (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, QUORVANE_KERNEL), so
// that no thread reads it while another may be changing it.
void prepare_parallel_run();

// Runs without the interpreter lock (the caller released it, after
// prepare_parallel_run): obtains the pool (building it on first use, an internal
// failure if that fails), computes every weight, and returns them or the
// zero-sigma message of the block that failed. Throws Interrupted as
// run_path_blocks does.
Outcome<DoubleBuffer> tangent_flow_weights_parallel(const TangentFlowInputs& inputs);

// The parallel form, run without the interpreter lock on validated inputs: the
// paths in at most as many blocks as the worker pool has threads, the serial
// function's bits. A zero sigma reports the first zero of the lowest failing
// block that ran.
Outcome<DoubleBuffer> tangent_flow_gamma_weights_parallel(const TangentFlowGammaInputs& inputs);

// The average weights the same way, with the serial function's bits; a failure
// reports the first failing path of the lowest failing block that ran.
Outcome<DoubleBuffer> average_weights_parallel(const AverageInputs& inputs);

}  // namespace quorvane
