#include "core/parallel/tangent_flow_parallel.hpp"

#include <atomic>
#include <optional>
#include <span>
#include <utility>

#include "core/kernels/kernels.hpp"
#include "core/kernels/target.hpp"
#include "core/pool/pool.hpp"
#include "core/support/interrupt.hpp"

namespace quorvane {

namespace {

// A task's result: success, or where its block met a zero sigma.
using TaskResult = std::optional<ZeroSigma>;

struct BlockRun {
  BlockKernel kernel;
  const void* context;
  std::size_t chunk;  // paths per call of the kernel
  std::atomic<bool>& stop;
};

// Paths per chunk: about kInterruptPollWork path-steps, in whole runs of
// kPathQuantum paths so that the kernels' vector loops see the lengths they are
// made for.
constexpr std::size_t kChunkQuantum = detail::kPathQuantum;

std::size_t chunk_paths(std::size_t work_per_path) {
  const std::size_t per_path = work_per_path == 0 ? 1 : work_per_path;
  const std::size_t paths = kInterruptPollWork / per_path;
  return paths <= kChunkQuantum ? kChunkQuantum : paths / kChunkQuantum * kChunkQuantum;
}

// Recursive halving: each run of blocks splits into a left half, run here, and
// a right half offered to the other workers, until every run is one block.
// When a half fails, the other still finishes (join waits for it) and the
// left (lower paths) failure wins. A block that starts after another has set
// `stop` is skipped, and a running one stops at its next chunk: its slice is
// never read, since the call then fails or is interrupted.
TaskResult process_blocks(const BlockRun& run, std::span<const PathBlock> blocks) {
  // Relaxed is enough: the flag only lets tasks skip work early; results
  // travel back through join, which orders them.
  if (run.stop.load(std::memory_order_relaxed)) return std::nullopt;
  if (blocks.size() >= 2) {
    const std::size_t half = blocks.size() / 2;
    auto [left, right] = pool::join(
        [&] { return process_blocks(run, blocks.first(half)); },
        [&] { return process_blocks(run, blocks.subspan(half)); });
    return left ? left : right;
  }
  if (blocks.empty()) return std::nullopt;
  const PathBlock& block = blocks.front();
  // Inside a long path the kernels read `stop` too, and on the calling thread
  // (a single block runs there) they also poll.
  const KernelPace pace(run.stop);
  for (std::size_t done = 0; done < block.count; done += run.chunk) {
    if (done != 0) {
      if (run.stop.load(std::memory_order_relaxed)) return std::nullopt;
      // Only the calling thread has a poll: a single block runs there.
      poll_interrupt();
    }
    const std::size_t n = block.count - done < run.chunk ? block.count - done : run.chunk;
    TaskResult failure;
    try {
      failure = run.kernel(run.context, block.first + done, n, block.out + done);
    } catch (const Interrupted&) {
      // Stopped inside a path by `stop`: as between two chunks. Else the poll
      // said stop, and the call ends with that.
      if (run.stop.load(std::memory_order_relaxed)) return std::nullopt;
      throw;
    }
    if (failure) {
      run.stop.store(true, std::memory_order_relaxed);
      return failure;
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<PathBlock> make_path_blocks(std::size_t n_paths, std::size_t threads, double* out) {
  if (threads == 0) threads = 1;
  const std::size_t size = n_paths / threads + (n_paths % threads != 0 ? 1 : 0);
  const std::size_t block = size == 0 ? 1 : size;
  std::vector<PathBlock> blocks;
  blocks.reserve(n_paths / block + 1);
  for (std::size_t first = 0; first < n_paths; first += block) {
    const std::size_t count = n_paths - first < block ? n_paths - first : block;
    blocks.push_back(PathBlock{first, count, out + first});
  }
  return blocks;
}

std::optional<ZeroSigma> run_path_blocks(std::size_t n_paths, double* out, BlockKernel kernel,
                                         const void* context, std::size_t work_per_path) {
  // Sizing builds the pool on first use, also for an empty batch.
  const std::size_t threads = pool::thread_count();
  const std::vector<PathBlock> blocks = make_path_blocks(n_paths, threads, out);
  std::atomic<bool> stop{false};
  const BlockRun run{kernel, context, chunk_paths(work_per_path), stop};
  const std::span<const PathBlock> all(blocks);
  // The waiting caller sets `stop` when it is interrupted.
  if (blocks.size() >= 2 && !pool::on_worker_thread())
    return pool::run_in_pool([&] { return process_blocks(run, all); }, stop);
  // One block (or already on a worker): no hand-off to the pool.
  return process_blocks(run, all);
}

void prepare_parallel_run() {
  pool::prepare_global_pool_environment();
  (void)active_kernel_target();
}

namespace {

// The one parallel weights driver: every weight of a recursion's range
// function `Weights`, in blocks on the pool, or the zero-sigma message of the
// block that failed.
std::string average_message(const AverageInputs& inputs, ZeroSigma failure) {
  return average_failure_message(inputs, failure);
}

template <class Inputs, std::optional<ZeroSigma> (*Weights)(const Inputs&, std::size_t,
                                                             std::size_t, double*),
          std::string (*Message)(const Inputs&, ZeroSigma) = nullptr>
Outcome<DoubleBuffer> parallel_weights(const Inputs& inputs, std::size_t n_paths,
                                       std::size_t n_steps) {
  std::array<DoubleBuffer, 1> out;
  if (const TaskResult failure = path_outputs_parallel(
          out, n_paths, n_steps,
          [&](std::size_t first, std::size_t count, const std::array<double*, 1>& at) {
            return Weights(inputs, first, count, at[0]);
          })) {
    if constexpr (Message != nullptr) return ValueFailure{Message(inputs, *failure)};
    return ValueFailure{zero_sigma_message(*failure)};
  }
  return std::move(out[0]);
}

}  // namespace

Outcome<DoubleBuffer> tangent_flow_weights_parallel(const TangentFlowInputs& inputs) {
  return parallel_weights<TangentFlowInputs, &tangent_flow_weights>(inputs, inputs.n_paths,
                                                                     inputs.n_steps);
}

Outcome<DoubleBuffer> tangent_flow_gamma_weights_parallel(const TangentFlowGammaInputs& inputs) {
  return parallel_weights<TangentFlowGammaInputs, &tangent_flow_gamma_weights>(
      inputs, inputs.flow.n_paths, inputs.flow.n_steps);
}

Outcome<DoubleBuffer> average_weights_parallel(const AverageInputs& inputs) {
  return parallel_weights<AverageInputs, &tangent_flow_average_weights, &average_message>(
      inputs, inputs.flow.n_paths, inputs.flow.n_steps);
}

}  // namespace quorvane
