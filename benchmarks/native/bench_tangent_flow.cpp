// Micro-benchmark of the tangent-flow weight kernels (not part of the CMake build).
//
// Build and run from the repository root (only kernels_avx2.cpp may be compiled
// with -mavx2):
//   g++ -std=c++20 -O2 -ffp-contract=off -mavx2 -Iquorvane-rt/src -c \
//       quorvane-rt/src/core/kernels/kernels_avx2.cpp -o /tmp/kernels_avx2.o
//   g++ -std=c++20 -O2 -ffp-contract=off -Iquorvane-rt/src \
//       benchmarks/native/bench_tangent_flow.cpp quorvane-rt/src/core/weights/tangent_flow.cpp \
//       quorvane-rt/src/core/kernels/target.cpp quorvane-rt/src/core/kernels/kernels_baseline.cpp \
//       quorvane-rt/src/core/support/*.cpp /tmp/kernels_avx2.o -o /tmp/bench_tangent_flow
//   /tmp/bench_tangent_flow [repeats=7] [case-name filter]
// Set QUORVANE_KERNEL=baseline to see the selection change ("active kernel").
//
// For each layout (C order, Fortran order, a generic strided view) and size it
// reports the median throughput in G path-steps/s of: a plain read of the four
// arrays in lockstep (the read bound: 32 bytes a path-step, nothing computed),
// the scalar recursion one path at a time, and the fast kernel of each
// supported target with its share of the read bound. Every run is checked bit
// for bit against the scalar weights.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/weights/tangent_flow.hpp"
#include "median_seconds.hpp"

using namespace quorvane;

namespace {

struct Array {
  std::vector<double> storage;
  MatrixView view;
};

enum class Order { c, fortran, strided };

// Values in the ranges of a typical diffusion: small increments, sigma bounded
// away from zero, moderate derivatives.
Array make_array(std::size_t paths, std::size_t steps, Order order, std::mt19937_64& rng,
                 double lo, double hi) {
  Array a;
  std::uniform_real_distribution<double> u(lo, hi);
  const std::size_t spread = order == Order::strided ? 2 : 1;
  a.storage.resize(paths * steps * spread);
  for (double& x : a.storage) x = u(rng);
  const auto* data = reinterpret_cast<const std::byte*>(a.storage.data());
  const auto p = static_cast<std::ptrdiff_t>(paths), s = static_cast<std::ptrdiff_t>(steps);
  switch (order) {
    case Order::c: a.view = MatrixView{data, paths, steps, s * 8, 8}; break;
    case Order::fortran: a.view = MatrixView{data, paths, steps, 8, p * 8}; break;
    // Every second element of a C array: neither stride is 8.
    case Order::strided: a.view = MatrixView{data, paths, steps, s * 16, 16}; break;
  }
  return a;
}

// Reads the memory of the four arrays in lockstep, a cache line of each at a
// time, folding the words with XOR so that nothing is optimised away.
std::uint64_t read_lockstep(const Array* const (&arrays)[4]) {
  const std::size_t bytes = arrays[0]->storage.size() * sizeof(double);
  std::uint64_t acc[8] = {};
  for (std::size_t at = 0; at + 64 <= bytes; at += 64)
    for (const Array* a : arrays) {
      std::uint64_t line[8];
      std::memcpy(line, reinterpret_cast<const std::byte*>(a->storage.data()) + at, 64);
      for (int w = 0; w < 8; ++w) acc[w] ^= line[w];
    }
  std::uint64_t r = 0;
  for (std::uint64_t w : acc) r ^= w;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 7;
  const std::string filter = argc > 2 ? argv[2] : "";
  std::printf("active kernel: %s\n", active_tangent_flow_kernel());
  struct Case {
    std::size_t paths, steps;
    Order order;
    const char* name;
  } cases[] = {
      {65536, 256, Order::c, "65536x256 C"},       {100000, 64, Order::c, "100000x64 C"},
      {1000, 64, Order::c, "1000x64 C"},           {65536, 256, Order::fortran, "65536x256 F"},
      {100000, 64, Order::fortran, "100000x64 F"}, {1000, 64, Order::fortran, "1000x64 F"},
      {65536, 256, Order::strided, "65536x256 strided"}, {1000, 64, Order::strided, "1000x64 strided"},
  };
  for (const Case& c : cases) {
    if (!filter.empty() && std::string(c.name).find(filter) == std::string::npos) continue;
    std::mt19937_64 rng(1);
    const Array dws = make_array(c.paths, c.steps, c.order, rng, -0.1, 0.1);
    const Array sigma = make_array(c.paths, c.steps, c.order, rng, 0.2, 0.5);
    const Array dmu = make_array(c.paths, c.steps, c.order, rng, -0.1, 0.1);
    const Array dsig = make_array(c.paths, c.steps, c.order, rng, -0.3, 0.3);
    TangentFlowInputs in;
    in.dws = dws.view;
    in.sigma = sigma.view;
    in.d_mu_dx = dmu.view;
    in.d_sigma_dx = dsig.view;
    in.n_paths = c.paths;
    in.n_steps = c.steps;
    in.dt = 1.0 / static_cast<double>(c.steps);
    in.inv_horizon = 1.0;
    const double work = static_cast<double>(c.paths) * static_cast<double>(c.steps);
    // Small cases run many times per sample so that a sample lasts ~10 ms.
    const int inner = std::max(1, static_cast<int>(2e7 / work));

    const Array* const arrays[4] = {&dws, &sigma, &dmu, &dsig};
    std::uint64_t sink = 0;
    const double read = median_seconds(repeats, [&] {
      for (int k = 0; k < inner; ++k) sink ^= read_lockstep(arrays);
    });
    const double bound = work * inner / read / 1e9;
    std::printf("%-20s read bound        %.3f G path-steps/s%s\n", c.name, bound, sink == 42 ? " " : "");

    std::vector<double> ref(c.paths), out(c.paths);
    const double scalar = median_seconds(repeats, [&] {
      for (int k = 0; k < inner; ++k)
        for (std::size_t i = 0; i < c.paths; ++i) ref[i] = tangent_flow_path_weight(in, i).weight;
    });
    std::printf("%-20s scalar one path   %.3f G path-steps/s\n", c.name, work * inner / scalar / 1e9);
    for (KernelTarget t : {KernelTarget::baseline, KernelTarget::avx2}) {
      if (!kernel_target_supported(t)) continue;
      const double s = median_seconds(repeats, [&] {
        for (int k = 0; k < inner; ++k) (void)tangent_flow_weights_with(t, in, 0, c.paths, out.data());
      });
      const bool same = std::memcmp(out.data(), ref.data(), c.paths * sizeof(double)) == 0;
      const double rate = work * inner / s / 1e9;
      std::printf("%-20s %-8s kernel   %.3f G path-steps/s (%.0f%% of the read bound)%s\n",
                  c.name, kernel_target_name(t), rate, 100.0 * rate / bound,
                  same ? "" : "  MISMATCH");
    }
  }
  return 0;
}
