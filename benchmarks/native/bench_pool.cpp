// Micro-benchmark of the worker pool (not part of the CMake build): how long a
// pool of N workers takes to build, and what a small parallel call costs on it.
//
// Build from the repository root, against the core library of a native build:
//   cmake --build build/native-tests --target quorvane_core
//   g++ -std=c++20 -O2 -ffp-contract=off -Iquorvane-rt/src benchmarks/native/bench_pool.cpp \
//       build/native-tests/libquorvane_core.a -lpthread -o /tmp/bench_pool
//   /tmp/bench_pool build 1000 2000 4000     # seconds to start N workers
//   /tmp/bench_pool call 2 4000              # a 64 x 4 call on pools of 2 and 4000
//
// "call" times the parallel tangent-flow weights of a 64-path, 4-step batch
// (64 blocks of one path on a pool of 64 or more workers) on a fresh process-wide
// pool of each size, in a child process per size: back to back (the workers are
// still searching) and 5 ms apart (the workers have gone to sleep). Every result
// is checked bit for bit against the serial weights.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/weights/tangent_flow.hpp"
#include "core/parallel/tangent_flow_parallel.hpp"
#include "core/pool/pool.hpp"

using namespace quorvane;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void bench_build(std::size_t n) {
  const auto start = Clock::now();
  auto* pool = new pool::WorkerPool(n);
  const double built = seconds_since(start);
  // One call that every worker could take part in: the pool is usable.
  const auto first = Clock::now();
  pool->join([] { return 1; }, [] { return 2; });
  const double call = seconds_since(first);
  std::printf("build %6zu workers: %8.3f s   first call %8.3f ms\n", n, built, call * 1e3);
  std::fflush(stdout);
  delete pool;  // waits for every worker to exit (not timed)
}

struct Batch {
  std::vector<double> dws, sigma, dmu, dsig;
  TangentFlowInputs inputs;
};

MatrixView view_of(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
  return MatrixView{reinterpret_cast<const std::byte*>(v.data()), rows, cols,
                    static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)};
}

Batch make_batch(std::size_t n_paths, std::size_t n_steps) {
  Batch b;
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(0.0, 0.1);
  std::uniform_real_distribution<double> uniform(0.1, 0.5);
  for (std::size_t k = 0; k < n_paths * n_steps; ++k) {
    b.dws.push_back(normal(rng));
    b.sigma.push_back(uniform(rng));
    b.dmu.push_back(normal(rng));
    b.dsig.push_back(normal(rng));
  }
  b.inputs = make_tangent_flow_inputs(view_of(b.dws, n_paths, n_steps), view_of(b.sigma, n_paths, n_steps),
                                      view_of(b.dmu, n_paths, n_steps), view_of(b.dsig, n_paths, n_steps),
                                      n_paths, n_steps, 1.0);
  return b;
}

void bench_call(std::size_t n) {
  ::setenv("RAYON_NUM_THREADS", std::to_string(n).c_str(), 1);
  const auto start = Clock::now();
  pool::global_pool();
  const double built = seconds_since(start);
  const Batch b = make_batch(64, 4);
  std::vector<double> serial(64);
  tangent_flow_weights(b.inputs, 0, 64, serial.data());
  auto one_call = [&] {
    const auto t = Clock::now();
    Outcome<DoubleBuffer> out = tangent_flow_weights_parallel(b.inputs);
    const double s = seconds_since(t);
    if (!out.ok() || std::memcmp(out.value().data(), serial.data(), 64 * sizeof(double)) != 0) {
      std::fprintf(stderr, "parallel weights differ from the serial ones\n");
      std::exit(2);
    }
    return s;
  };
  for (int i = 0; i < 20; ++i) one_call();
  std::vector<double> back_to_back, apart;
  for (int i = 0; i < 400; ++i) back_to_back.push_back(one_call());
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    apart.push_back(one_call());
  }
  std::printf("64 x 4 call on %6zu workers (built in %.3f s): back to back %9.1f us, 5 ms apart %9.1f us\n",
              n, built, median(back_to_back) * 1e6, median(apart) * 1e6);
  std::fflush(stdout);
}

// Each size in a child of its own: the process-wide pool is built once per process.
void in_child(void (*body)(std::size_t), std::size_t n) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    body(n);
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("  (size %zu failed)\n", n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "build") != 0 && std::strcmp(argv[1], "call") != 0)) {
    std::fprintf(stderr, "usage: %s build|call N...\n", argv[0]);
    return 1;
  }
  const bool build = std::strcmp(argv[1], "build") == 0;
  for (int i = 2; i < argc; ++i)
    in_child(build ? &bench_build : &bench_call, std::strtoull(argv[i], nullptr, 10));
  return 0;
}
