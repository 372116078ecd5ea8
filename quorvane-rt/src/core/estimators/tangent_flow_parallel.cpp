#include "core/estimators/tangent_flow_parallel.hpp"

#include <atomic>
#include <optional>
#include <span>

#include "core/pool/pool.hpp"

namespace quorvane {

namespace {

// A task's result: success, or where its block met a zero sigma.
using TaskResult = std::optional<ZeroSigma>;

struct BlockRun {
  BlockKernel kernel;
  const void* context;
  std::atomic<bool>& stop;
};

// Recursive halving: each run of blocks splits into a left half, run here, and
// a right half offered to the other workers, until every run is one block.
// When a half fails, the other still finishes (join waits for it) and the
// left (lower paths) failure wins. A block that starts after another has set
// `stop` is skipped: its slice is never read, since the call then fails.
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
  TaskResult failure = run.kernel(run.context, block.first, block.count, block.out);
  if (failure) run.stop.store(true, std::memory_order_relaxed);
  return failure;
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
                                         const void* context) {
  // Sizing builds the pool on first use, also for an empty batch.
  const std::size_t threads = pool::thread_count();
  const std::vector<PathBlock> blocks = make_path_blocks(n_paths, threads, out);
  std::atomic<bool> stop{false};
  const BlockRun run{kernel, context, stop};
  const std::span<const PathBlock> all(blocks);
  if (blocks.size() >= 2 && !pool::on_worker_thread())
    return pool::run_in_pool([&] { return process_blocks(run, all); });
  // One block (or already on a worker): no hand-off to the pool.
  return process_blocks(run, all);
}

Outcome<DoubleBuffer> tangent_flow_weights_parallel(const TangentFlowInputs& inputs) {
  // Every element is written by exactly one block before the buffer is read, so
  // it needs no zero fill; leaving the first touch to the workers also spreads
  // the page faults of a large output over them.
  DoubleBuffer out = DoubleBuffer::uninitialized(inputs.n_paths);
  const BlockKernel kernel = [](const void* context, std::size_t first, std::size_t count,
                                double* block_out) {
    return tangent_flow_weights(*static_cast<const TangentFlowInputs*>(context), first, count,
                                block_out);
  };
  if (const TaskResult failure = run_path_blocks(inputs.n_paths, out.data(), kernel, &inputs))
    return ValueFailure{zero_sigma_message(*failure)};
  return out;
}

}  // namespace quorvane
