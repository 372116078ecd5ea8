// Micro-benchmark of the whole-window average weight kernels (not part of the
// CMake build).
//
// Build and run from the repository root (only kernels_avx2.cpp may be compiled
// with -mavx2, only kernels_avx512.cpp with -mavx512f):
//   g++ -std=c++20 -O2 -ffp-contract=off -mavx2 -Iquorvane-rt/src -c \
//       quorvane-rt/src/core/kernels/kernels_avx2.cpp -o /tmp/kernels_avx2.o
//   g++ -std=c++20 -O2 -ffp-contract=off -mavx512f -Iquorvane-rt/src -c \
//       quorvane-rt/src/core/kernels/kernels_avx512.cpp -o /tmp/kernels_avx512.o
//   cc -O3 -march=native -c benchmarks/native/read_bound.c -o /tmp/read_bound.o
//   g++ -std=c++20 -O2 -ffp-contract=off -Iquorvane-rt/src \
//       -DQUORVANE_AVX2_TARGET=1 -DQUORVANE_AVX512_TARGET=1 \
//       benchmarks/native/bench_average.cpp quorvane-rt/src/core/weights/average.cpp \
//       quorvane-rt/src/core/weights/tangent_flow.cpp quorvane-rt/src/core/weights/tangent_flow_gamma.cpp \
//       quorvane-rt/src/core/kernels/target.cpp \
//       quorvane-rt/src/core/kernels/kernels_baseline.cpp quorvane-rt/src/core/support/*.cpp \
//       quorvane-rt/src/core/platform/platform_linux.cpp \
//       /tmp/kernels_avx2.o /tmp/kernels_avx512.o /tmp/read_bound.o -o /tmp/bench_average
//   /tmp/bench_average [repeats=7] [case-name filter]
//
// For each layout and size it reports the median throughput in G path-steps/s
// of: a read of the six arrays in lockstep (the read bound of bench.py, 48
// bytes a path-step, nothing computed), the scalar recursion one path at a time, and
// the kernel of each supported target with its share of the read bound. Every
// run is checked bit for bit against the scalar weights. The small case runs
// from the caches, so there the kernels show their compute bound.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>

#include "core/weights/average.hpp"
#include "core/weights/tangent_flow_gamma.hpp"
#include "median_seconds.hpp"

// benchmarks/native/read_bound.c, the read bound of benchmarks/bench.py: one
// thread's share of one block of memory.
struct ReadShare {
  std::uintptr_t base;
  std::size_t row_bytes, stride, first_row, lines;
};
extern "C" std::uint64_t read_blocks(const ReadShare* shares, std::size_t count, int threads, int repeats,
                                     int prefetch);

using namespace quorvane;

namespace {

// Arrays as NumPy allocates large ones: on huge pages where the kernel gives
// them on request (madvise), so that the benchmark sees the TLB reach a user's
// arrays have.
struct Array {
  struct Free {
    void operator()(double* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<double[], Free> storage;
  double* first = nullptr;  // element (0, 0)
  std::size_t size = 0;
  MatrixView view;
};

enum class Order { c, fortran };

// Array `index` starts 16 + 4096 * index bytes into its huge pages, as NumPy's
// large arrays do (glibc maps each one on its own, 16 bytes into a page, and
// the kernel places the maps one page apart modulo the huge page): the arrays
// share the L1 sets of every element but not the L2 sets.
Array make_array(std::size_t paths, std::size_t steps, Order order, std::mt19937_64& rng, double lo,
                 double hi, std::size_t index) {
  Array a;
  std::uniform_real_distribution<double> u(lo, hi);
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  const std::size_t offset = (16 + 4096 * index) / sizeof(double);
  a.size = paths * steps;
  const std::size_t bytes = ((a.size + offset) * sizeof(double) + kHuge - 1) / kHuge * kHuge;
  a.storage.reset(static_cast<double*>(std::aligned_alloc(kHuge, bytes)));
#if defined(MADV_HUGEPAGE)
  madvise(a.storage.get(), bytes, MADV_HUGEPAGE);
#endif
  double* const first = a.storage.get() + offset;
  for (std::size_t i = 0; i < a.size; ++i) first[i] = u(rng);
  a.first = first;
  const auto* data = reinterpret_cast<const std::byte*>(first);
  const auto p = static_cast<std::ptrdiff_t>(paths), s = static_cast<std::ptrdiff_t>(steps);
  a.view = order == Order::c ? MatrixView{data, paths, steps, s * 8, 8} : MatrixView{data, paths, steps, 8, p * 8};
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 7;
  const std::string filter = argc > 2 ? argv[2] : "";
  struct Case {
    std::size_t paths, steps;
    Order order;
    const char* name;
  } cases[] = {
      {1000, 64, Order::c, "1000x64 C"},           {1024, 64, Order::fortran, "1024x64 F"},
      {100000, 64, Order::c, "100000x64 C"},       {100000, 64, Order::fortran, "100000x64 F"},
      {65536, 256, Order::c, "65536x256 C"},       {65536, 256, Order::fortran, "65536x256 F"},
      {60000, 256, Order::fortran, "60000x256 F"}, {128, 256, Order::c, "128x256 C"},
      {128, 256, Order::fortran, "128x256 F"},
  };
  for (const Case& c : cases) {
    if (!filter.empty() && std::string(c.name).find(filter) == std::string::npos) continue;
    std::mt19937_64 rng(1);
    const Array dws = make_array(c.paths, c.steps, c.order, rng, -0.1, 0.1, 0);
    const Array sigma = make_array(c.paths, c.steps, c.order, rng, 0.2, 0.5, 1);
    const Array dmu = make_array(c.paths, c.steps, c.order, rng, -0.1, 0.1, 2);
    const Array dsig = make_array(c.paths, c.steps, c.order, rng, -0.3, 0.3, 3);
    const Array d2mu = make_array(c.paths, c.steps, c.order, rng, -0.1, 0.1, 4);
    const Array d2sig = make_array(c.paths, c.steps, c.order, rng, -0.3, 0.3, 5);
    std::vector<double> a(c.steps + 1, 1.0 / static_cast<double>(c.steps));
    a[0] = 0.0;
    AverageInputs in;
    in.flow.dws = dws.view;
    in.flow.sigma = sigma.view;
    in.flow.d_mu_dx = dmu.view;
    in.flow.d_sigma_dx = dsig.view;
    in.flow.n_paths = c.paths;
    in.flow.n_steps = c.steps;
    in.flow.dt = 1.0 / static_cast<double>(c.steps);
    in.flow.inv_horizon = 1.0;
    in.d2_mu_dx2 = d2mu.view;
    in.d2_sigma_dx2 = d2sig.view;
    in.weights = VectorView{reinterpret_cast<const std::byte*>(a.data()), a.size(), 8};
    in.last = c.steps;
    in.inv_dt = static_cast<double>(c.steps);
    const double work = static_cast<double>(c.paths) * static_cast<double>(c.steps);
    const int inner = std::max(1, static_cast<int>(2e7 / work));

    // Each array whole, as one row.
    ReadShare shares[6];
    const Array* const all[6] = {&dws, &sigma, &dmu, &dsig, &d2mu, &d2sig};
    for (int k = 0; k < 6; ++k)
      shares[k] = ReadShare{reinterpret_cast<std::uintptr_t>(all[k]->first), dws.size * sizeof(double), 0, 0,
                            dws.size * sizeof(double) / 64};
    std::uint64_t sink = 0;
    // The faster of a plain read and one that prefetches ahead, as bench.py takes.
    double read = 1e300;
    for (int prefetch = 0; prefetch < 2; ++prefetch)
      read = std::min(read, median_seconds(repeats, [&] {
                        sink ^= read_blocks(shares, 6, 1, inner, prefetch);
                      }));
    const double bound = work * inner / read / 1e9;
    std::printf("%-14s read bound       %.3f G path-steps/s%s\n", c.name, bound, sink == 42 ? " " : "");

    std::vector<double> ref(c.paths), out(c.paths);
    const double scalar = median_seconds(repeats, [&] {
      for (int k = 0; k < inner; ++k)
        for (std::size_t i = 0; i < c.paths; ++i) ref[i] = average_path_weight(in, i).weight;
    });
    std::printf("%-14s scalar one path  %.3f G path-steps/s\n", c.name, work * inner / scalar / 1e9);
    for (KernelTarget t : {KernelTarget::baseline, KernelTarget::avx2, KernelTarget::avx512}) {
      if (!kernel_target_supported(t)) continue;
      const double s = median_seconds(repeats, [&] {
        for (int k = 0; k < inner; ++k) (void)tangent_flow_average_weights_with(t, in, 0, c.paths, out.data());
      });
      const bool same = std::memcmp(out.data(), ref.data(), c.paths * sizeof(double)) == 0;
      const double rate = work * inner / s / 1e9;
      std::printf("%-14s %-8s kernel  %.3f G path-steps/s (%.0f%% of the read bound)%s\n", c.name,
                  kernel_target_name(t), rate, 100.0 * rate / bound, same ? "" : "  MISMATCH");
    }

    // The gamma weights on the same arrays. They read all six in the first half
    // of the steps and four in the second, 40 bytes a path-step: their read
    // bound is the six arrays' one times 48 / 40.
    TangentFlowGammaInputs gin;
    gin.flow = in.flow;
    gin.d2_mu_dx2 = in.d2_mu_dx2;
    gin.d2_sigma_dx2 = in.d2_sigma_dx2;
    gin.split = c.steps / 2;
    gin.inv_t1 = 1.0 / (static_cast<double>(gin.split) * in.flow.dt);
    gin.inv_t2 = 1.0 / (1.0 - static_cast<double>(gin.split) * in.flow.dt);
    for (std::size_t i = 0; i < c.paths; ++i) ref[i] = tangent_flow_gamma_path_weight(gin, i).gamma;
    const double gamma_bound = bound * 48.0 / 40.0;
    for (KernelTarget t : {KernelTarget::baseline, KernelTarget::avx2, KernelTarget::avx512}) {
      if (!kernel_target_supported(t)) continue;
      const double s = median_seconds(repeats, [&] {
        for (int k = 0; k < inner; ++k) (void)tangent_flow_gamma_weights_with(t, gin, 0, c.paths, out.data());
      });
      const bool same = std::memcmp(out.data(), ref.data(), c.paths * sizeof(double)) == 0;
      const double rate = work * inner / s / 1e9;
      std::printf("%-14s %-8s gamma   %.3f G path-steps/s (%.0f%% of its read bound)%s\n", c.name,
                  kernel_target_name(t), rate, 100.0 * rate / gamma_bound, same ? "" : "  MISMATCH");
    }
  }
  return 0;
}
